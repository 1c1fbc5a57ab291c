# Set-up, build, demo, tests and benchmarks. Every target installs what it needs, so
# `make demo` and `make test` work on a fresh clone of a fresh machine.

SHELL := /bin/bash
VENV ?= .venv
ASAN_VENV ?= .venv-asan
PY312 := $(shell pyenv which python3.12 2>/dev/null || command -v python3.12 2>/dev/null || \
	ls -d $${PYENV_ROOT:-$$HOME/.pyenv}/versions/3.12*/bin/python3.12 2>/dev/null | tail -n 1)
BUILD_DEPS := scikit-build-core>=0.11 cmake>=3.18 ninja sortedcontainers>=2.4
TEST_DEPS := pytest>=8 hypothesis>=6.100 mypy>=1.18
# The extras the example session and the tests use: velmora[frames] and velmora[plot].
EXTRA_DEPS := "pandas>=2.1" "matplotlib>=3.8"
PYTEST_FLAGS ?= -q
DEV ?= build/dev

.PHONY: toolchain venv install demo test test-normal test-asan bench dev check format format-check \
	tidy clean

toolchain:
	@command -v g++ >/dev/null || { apt-get update -qq && apt-get install -y -qq g++ make; }
	@test -n "$(PY312)" || { echo "CPython 3.12 not found (pyenv install 3.12.1)"; exit 1; }

$(VENV)/.ready: | toolchain
	$(PY312) -m venv $(VENV)
	$(VENV)/bin/pip install -q --upgrade pip
	$(VENV)/bin/pip install -q $(BUILD_DEPS) $(TEST_DEPS)
	touch $@

# The optional extra for running many sessions (velmora[dist]): its example is tested.
DIST_DEPS := distributed>=2024.1
$(VENV)/.dist-ready $(ASAN_VENV)/.dist-ready: %/.dist-ready: %/.ready
	$*/bin/pip install -q '$(DIST_DEPS)'
	touch $@

venv: $(VENV)/.ready $(VENV)/.dist-ready

# A stamp of its own, so that an environment made before the extras gets them too.
$(VENV)/.extras $(ASAN_VENV)/.extras: %/.extras: %/.ready
	$*/bin/pip install -q $(EXTRA_DEPS)
	touch $@

# Normal build: warnings are errors.
install: venv $(VENV)/.extras
	VELMORA_WERROR=ON $(VENV)/bin/pip install -q --no-build-isolation --force-reinstall --no-deps .

demo: install
	$(VENV)/bin/python examples/demo.py

test: test-normal test-asan

test-normal: install
	cd tests && ../$(VENV)/bin/python -m mypy.stubtest velmora.orderbook
	cd tests && ../$(VENV)/bin/python -m pytest $(PYTEST_FLAGS)

# AddressSanitizer + UndefinedBehaviorSanitizer build, in its own environment and build
# tree. The runtime must come first in the process, hence the preload (test run only).
$(ASAN_VENV)/.ready: | toolchain
	$(PY312) -m venv $(ASAN_VENV)
	$(ASAN_VENV)/bin/pip install -q --upgrade pip
	$(ASAN_VENV)/bin/pip install -q $(BUILD_DEPS) $(TEST_DEPS)
	touch $@

test-asan: $(ASAN_VENV)/.ready $(ASAN_VENV)/.extras $(ASAN_VENV)/.dist-ready
	VELMORA_SANITIZE=ON $(ASAN_VENV)/bin/pip install -q --no-build-isolation --force-reinstall --no-deps .
	cd tests && LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" \
	  ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  PYTHONMALLOC=malloc HYPOTHESIS_PROFILE=asan \
	  ../$(ASAN_VENV)/bin/python -m pytest $(PYTEST_FLAGS) --capture=sys

bench: install
	@command -v valgrind >/dev/null || { apt-get update -qq && apt-get install -y -qq valgrind; }
	$(VENV)/bin/python bench/run.py

# Developer loop: an incremental CMake build staged at $(DEV)/pkg, tests run against it.
dev: venv
	$(VENV)/bin/cmake -S . -B $(DEV) -G Ninja -DPython_EXECUTABLE=$(abspath $(VENV))/bin/python \
	  -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	$(VENV)/bin/ninja -C $(DEV)

check: dev $(VENV)/.extras
	cd tests && PYTHONPATH=$(abspath $(DEV))/pkg ../$(VENV)/bin/python -m pytest $(PYTEST_FLAGS)

# Formatting and static analysis of the C++ sources, with pinned tools from the package registry.
LINT_DEPS := clang-format==21.1.8 clang-tidy==21.1.6
CXX_SOURCES = $(wildcard velmora/*.cpp velmora/*.hpp velmora/*/*.cpp velmora/*/*.hpp)

$(VENV)/.lint-ready: $(VENV)/.ready
	$(VENV)/bin/pip install -q $(LINT_DEPS)
	touch $@

format: $(VENV)/.lint-ready
	$(VENV)/bin/clang-format -i $(CXX_SOURCES)

format-check: $(VENV)/.lint-ready
	$(VENV)/bin/clang-format --dry-run -Werror $(CXX_SOURCES)

# Uses the compile commands of the developer build; two files at a time.
tidy: dev $(VENV)/.lint-ready
	printf '%s\n' $(filter %.cpp,$(CXX_SOURCES)) | \
	  xargs -P 2 -n 1 $(VENV)/bin/clang-tidy -p $(DEV) --quiet

clean:
	rm -rf build $(VENV) $(ASAN_VENV)
