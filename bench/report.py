"""The outputs of a run: progress lines while it runs, then a table on the terminal, a
JSON file with everything measured, and a PNG of time against n."""

import itertools
import json
import math

MIB = 2**20

COLUMNS = [
    # (header, width, row -> text)
    ("model", 10, lambda r: r["model"]),
    ("n", 3, lambda r: str(r["n"])),
    ("theta", 5, lambda r: f"{r['theta']:g}"),
    ("method", 10, lambda r: r["method"]),
    ("thr", 3, lambda r: str(r["threads"])),
    ("build s", 8, lambda r: fmt(r.get("build_s"), ".3g")),
    ("solve s", 8, lambda r: fmt(r.get("solve_s"), ".3g")),
    ("total s", 8, lambda r: fmt(r.get("total_s"), ".3g")),
    ("reps", 4, lambda r: fmt(r.get("reps_done"), "d")),
    ("mem MiB", 8, lambda r: fmt(None if r.get("mem_bytes") is None else r["mem_bytes"] / MIB, ".1f")),
    ("mem/psi", 7, lambda r: fmt(r.get("mem_states"), ".1f")),
    ("rel err", 8, lambda r: "ref" if r.get("is_reference") else fmt(r.get("rel_err"), ".1e")),
    ("vs", 10, lambda r: r.get("reference") or "-"),
    ("params", 12, lambda r: params_text(r.get("params"))),
    ("apps", 7, lambda r: fmt(r.get("applications"), "d")),
    ("x floor", 7, lambda r: fmt(r.get("floor_ratio"), ".1f")),
    ("peer/x", 7, lambda r: ratio_text(r.get("peer_ratio")) if r["kind"] == "ours" else ""),
    ("interval", 17, lambda r: span_text(r.get("interval")) if "interval" in r else ""),
    ("spectrum", 17, lambda r: span_text(r.get("spectrum")) if "interval" in r else ""),
    ("note", 0, lambda r: r.get("note") or ""),
]


def fmt(value, pattern):
    """A number in the given format, '-' when it is missing or not finite."""
    if value is None or (isinstance(value, float) and not math.isfinite(value)):
        return "-"
    return format(value, pattern)


def params_text(params):
    """A method's chosen parameters as 'm=18 s=3'; empty for methods without any."""
    return " ".join(f"{k}={v}" for k, v in (params or {}).items())


def ratio_text(value):
    """A speed-up as '12.3x', '-' when missing."""
    return fmt(value, ".1f") + "x" if value is not None else "-"


def span_text(span):
    """An interval [lo, hi] as 'lo..hi', '-' when unknown."""
    return "-" if span is None else f"{span[0]:.2f}..{span[1]:.2f}"


def table_line(cells, columns=COLUMNS):
    """Right-aligned cells, the last (the note) left as it is."""
    parts = [c.rjust(w) for c, (_, w, _) in zip(cells, columns)]
    return " ".join(parts).rstrip()


def table(rows):
    """The header, a rule, and one line per run, a blank line between problems."""
    header = table_line([h for h, _, _ in COLUMNS])
    lines = [header, "-" * len(header)]
    previous = None
    for row in rows:
        problem = (row["model"], row["n"], row["theta"])
        if previous is not None and problem != previous:
            lines.append("")
        lines.append(table_line([f(row) for _, _, f in COLUMNS]))
        previous = problem
    return "\n".join(lines)


def progress_line(row):
    """A short line per finished run, so that a long run shows where it is."""
    head = f"  {row['model']} n={row['n']} theta={row['theta']:g} {row['method']} {row['threads']}t:"
    if row["status"] != "ok":
        return f"{head} {row['note']}"
    err = "reference" if row.get("is_reference") else f"rel err {fmt(row.get('rel_err'), '.1e')}"
    return f"{head} {row['total_s']:.3g} s, {row['mem_bytes'] / MIB:.1f} MiB, {err}"


def spectrum_line(entry):
    """A line per (model, n) whose extreme eigenvalues were looked for."""
    head = f"  {entry['model']} n={entry['n']} spectrum ({entry['how']}):"
    if entry["status"] != "ok":
        return f"{head} {entry['note']}"
    return f"{head} {entry['min']:.10g}..{entry['max']:.10g} in {entry['seconds']:.3g} s"


def info_lines(info):
    """The machine description, one key a line."""
    return "\n".join(f"{k:20s} {v}" for k, v in info.items())


def floor_lines(floor):
    """STREAM bandwidth and the single-word pass, the best of before and after the runs."""
    lines = []
    for threads, s in floor["stream"]["threads"].items():
        lines.append(f"STREAM {threads} thread(s): copy {s['copy_GBps']:.1f} GB/s, add {s['add_GBps']:.1f} GB/s "
                     f"({floor['stream']['array_bytes'] / MIB:.0f} MiB arrays)")
    for n, by_threads in floor["word_pass"].items():
        cells = ", ".join(f"{t} thr {fmt(scaled(w['seconds'], 1e3), '.3g')} ms "
                          f"({fmt(w['effective_GBps'], '.1f')} GB/s)" for t, w in by_threads.items())
        lines.append(f"one-word pass n={n:>2}: {cells}")
    return "\n".join(lines)


def scaled(value, factor):
    """value * factor, None staying None."""
    return None if value is None else value * factor


SUMMARY_COLUMNS = [
    ("model", 10, lambda s: s["model"]),
    ("n", 3, lambda s: str(s["n"])),
    ("theta", 5, lambda s: f"{s['theta']:g}"),
    ("fastest peer", 12, lambda s: s["fastest_peer"] or "-"),
    ("peer s", 8, lambda s: fmt(s["fastest_peer_s"], ".3g")),
    ("cheb s", 8, lambda s: fmt(s["total_s"], ".3g")),
    ("peer/cheb", 9, lambda s: ratio_text(s["peer_ratio"])),
    ("rel err", 8, lambda s: fmt(s["rel_err"], ".1e")),
    ("err ok", 6, lambda s: yes_no(s["within_rtol"])),
    ("mem/psi", 7, lambda s: fmt(s["mem_states"], ".1f")),
    ("mem ok", 6, lambda s: yes_no(s["within_memory"])),
    ("unfinished peers", 0, lambda s: ", ".join(s["peers_unfinished"])),
]


def summary_table(summary, target_states):
    """The Chebyshev solver against the fastest peer on every problem, with its error and
    memory against their targets."""
    if not summary:
        return ""
    first = summary[0]
    header = table_line([h for h, _, _ in SUMMARY_COLUMNS], SUMMARY_COLUMNS)
    lines = [f"chebyshev at {first['threads']} thread(s) against the fastest peer (scipy, numpy-cheb, qutip), "
             f"build + solve; targets: rel err <= rtol = {first['rtol']:g}, mem/psi <= {target_states}",
             header, "-" * len(header)]
    lines += [table_line([f(s) for _, _, f in SUMMARY_COLUMNS], SUMMARY_COLUMNS) for s in summary]
    return "\n".join(lines)


def yes_no(flag):
    """yes / no, '-' when unknown."""
    return "-" if flag is None else "yes" if flag else "no"


def write_json(path, info, settings, floor, spectra, rows, summary):
    """Everything, machine-readable; NaN and infinities become null."""
    def clean(x):
        """JSON has no NaN: missing figures become null."""
        if isinstance(x, float) and not math.isfinite(x):
            return None
        if isinstance(x, dict):
            return {k: clean(v) for k, v in x.items()}
        if isinstance(x, (list, tuple)):
            return [clean(v) for v in x]
        return x

    doc = {"machine": info, "settings": settings, "floor": floor, "spectra": spectra, "summary": summary,
           "runs": rows}
    path.write_text(json.dumps(clean(doc), indent=1) + "\n")


# A fixed colour per series, so that a method keeps its colour in every panel whatever
# else finished there: ours in tab20's pairs (dark at two or more threads, light at one),
# the peers and the references in colours of their own.
METHOD_COLOURS = {
    "taylor": ("#1f77b4", "#aec7e8"),
    "krylov": ("#ff7f0e", "#ffbb78"),
    "chebyshev": ("#2ca02c", "#98df8a"),
    "taylor-ref": ("#bcbd22", "#dbdb8d"),
    "scipy": ("#d62728",),
    "numpy-cheb": ("#8c564b",),
    "qutip": ("#9467bd",),
    "dense": ("#7f7f7f",),
}
SERIES_ORDER = list(METHOD_COLOURS)


def series_label(row):
    """One line per method and thread count in the plot."""
    return f"{row['method']} {row['threads']}t" if row["kind"] == "ours" else row["method"]


def series_style(row):
    """(colour, line format) of a row's series."""
    shades = METHOD_COLOURS.get(row["method"], ("#17becf",))
    colour = shades[0] if row["threads"] > 1 or len(shades) == 1 else shades[1]
    return colour, "-o" if row["kind"] == "ours" else "--s"


def write_plot(path, rows, models, thetas):
    """Total time against n on a log scale: one column per model, one row per theta."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(len(thetas), len(models), figsize=(5 * len(models), 3.8 * len(thetas)),
                             squeeze=False, sharex=True)
    for i, theta in enumerate(thetas):
        for j, model in enumerate(models):
            plot_panel(axes[i][j], [r for r in rows if r["model"] == model and r["theta"] == theta])
            axes[i][j].set_title(f"{model}, theta = {theta:g}")
    for ax in axes[-1]:
        ax.set_xlabel("qubits n")
    for row_axes in axes:
        row_axes[0].set_ylabel("wall time per solve incl. build [s]")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def series_order(row):
    """Where a row's series comes in the legend: by method as in METHOD_COLOURS, then threads."""
    method = row["method"]
    return SERIES_ORDER.index(method) if method in METHOD_COLOURS else len(SERIES_ORDER), row["threads"]


def plot_panel(ax, rows):
    """The successful runs of one (model, theta), a line per series, in a fixed order."""
    done = sorted((r for r in rows if r["status"] == "ok" and r.get("total_s") is not None),
                  key=lambda r: (series_order(r), r["n"]))
    for label, group in itertools.groupby(done, key=series_label):
        group = list(group)
        colour, style = series_style(group[0])
        ax.plot([r["n"] for r in group], [r["total_s"] for r in group], style, color=colour, label=label,
                markersize=4)
    ax.set_yscale("log")
    sizes = sorted({r["n"] for r in rows})
    if sizes:
        ax.set_xticks(sizes)
    ax.grid(True, which="both", alpha=0.3)
    if done:
        ax.legend(fontsize=7)
