# Everything runs through tools/env, which provides CPython 3.14, the compiler and the
# Python packages (creating a Debian testing root on first use where the host lacks them).
ENV      := tools/env
BUILD    := build
ASAN     := build-asan
JOBS     ?= $(shell nproc)
CONFIGURE = cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DMORBIZET_BUILD_TESTS=ON

# The sanitizer run: the ASan runtime is preloaded into the (uninstrumented) interpreter,
# with the C++ runtime beside it so that ASan finds the real __cxa_throw; leak detection
# is off because the interpreter keeps its start-up allocations on purpose, and both
# sanitizers stop at the first report.
SAN_ENV = ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:abort_on_error=0 \
          UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

.PHONY: all build run test test-dev sanitize bench bench-floor bench-short bench-mpi bench-busy bench-grid bench-sector bench-driven clean

all: run

build:
	$(ENV) sh -c '$(CONFIGURE) >/dev/null && cmake --build $(BUILD) -j $(JOBS)'

# The main job: a 20-qubit Heisenberg quench through the public package, solvers side by side.
run: build
	$(ENV) python3 examples/heisenberg_quench.py

test: build
	$(ENV) sh -c 'ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS) && python3 -m pytest -q tests/python'

# The Python tests again in the interpreter's development mode (debug allocator hooks
# that abort on allocator calls made without the interpreter lock).
test-dev: build
	$(ENV) python3 -X dev -m pytest -q -p no:cacheprovider tests/python

sanitize:
	$(ENV) sh -c 'cmake -S . -B $(ASAN) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMORBIZET_BUILD_TESTS=ON \
	    -DMORBIZET_SANITIZE=ON >/dev/null && cmake --build $(ASAN) -j $(JOBS) && \
	  $(SAN_ENV) ctest --test-dir $(ASAN) --output-on-failure -j $(JOBS) && \
	  $(SAN_ENV) LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" PYTHONPATH=$(CURDIR)/$(ASAN):$(CURDIR)/python \
	    MORBIZET_SANITIZED=1 python3 -m pytest -q -p no:cacheprovider tests/python'

# The solvers against their peers, one application of H' against the machine's floor, and
# short solves against the peers; BEFORE=DIR (a built checkout of an earlier version)
# adds that version's kernel and solves to the last two, measured in the same run.
bench: build
	$(ENV) python3 bench/run.py
	$(MAKE) bench-floor bench-short

bench-floor: build
	$(ENV) python3 bench/floor.py $(if $(BEFORE),--before $(BEFORE)/build)

bench-short: build
	$(ENV) python3 bench/short_solves.py $(if $(BEFORE),--before $(BEFORE))

# The distributed solvers on 1, 2 and 4 processes of this machine, and the model of a
# cluster built from them (bench/mpi_scaling.py).
bench-mpi: build
	$(ENV) python3 bench/mpi_scaling.py

# threads=None against threads=1 on a quiet machine and with every CPU busy.
bench-busy: build
	$(ENV) python3 bench/busy_machine.py

# Symmetry sectors against the whole space and SciPy (bench/sectors.py).
bench-sector: build
	$(ENV) python3 bench/sectors.py

# A driven annealing ramp against QuTiP, imaginary time against SciPy (bench/driven.py).
bench-driven: build
	$(ENV) python3 bench/driven.py

# Time grids of 101 and 1001 times against the single evolution (bench/grids.py).
bench-grid: build
	$(ENV) python3 bench/grids.py

clean:
	rm -rf $(BUILD) $(ASAN)
