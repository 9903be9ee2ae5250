# Everything runs through tools/env, which provides CPython 3.14, the compiler and the
# Python packages (creating a Debian testing root on first use where the host lacks them).
ENV      := tools/env
BUILD    := build
JOBS     ?= $(shell nproc)
CONFIGURE = cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DMORBIZET_BUILD_TESTS=ON

.PHONY: all build run test bench clean

all: run

build:
	$(ENV) sh -c '$(CONFIGURE) >/dev/null && cmake --build $(BUILD) -j $(JOBS)'

# The main job: a 20-qubit Heisenberg quench, evolved by both solvers.
run: build
	$(ENV) python3 examples/heisenberg_quench.py

test: build
	$(ENV) sh -c 'ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS) && python3 -m pytest -q tests/python'

clean:
	rm -rf $(BUILD)
