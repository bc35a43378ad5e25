# make test  - create .venv if needed, build and install tarsel with its test extras, run the suite
# make demo  - run the main job on the embedded default data
# make bench - run the benchmarks (not part of the test run); bench_peers.py runs only
#              with the peers extra: make bench BENCH_EXTRAS=bench,peers
# make lint  - ruff (lint and format check), clang-format check of src/ and mypy, with
#              the tools of the `lint` extra installed into the venv
# make wheel - build one abi3 manylinux wheel into dist/, reusing the build folder of make test
# make docs  - build the HTML site into docs/_build/html (warnings are errors)
# make sanitize - build with AddressSanitizer and UndefinedBehaviorSanitizer into
#                 .venv-sanitize and build/sanitize, then run the suite under them
# make odr   - build with -flto -Werror=odr into build/odr (fails on two definitions
#              of one name) and run a small fit on that build
# make debug - build the Debug configuration into build/debug and run a small fit on it
PY ?= python3
VENV ?= .venv
PYTHON := $(VENV)/bin/python
PIP := $(PYTHON) -m pip
PYTEST_ARGS ?=
# Test order: file order, or TEST_ORDER=random for a shuffled order
# (pytest-randomly) drawn from TEST_SEED, so that a failing order can be rerun.
TEST_ORDER ?= fixed
TEST_SEED ?= 20261207
ORDER_ARGS = $(if $(filter random,$(TEST_ORDER)),-p randomly --randomly-seed=$(TEST_SEED))
# Extra config settings for the wheel build (-C key=value ...).
BUILD_FLAGS ?=
# Optional dependencies installed with the package: the test tools, or for the
# demo only the readers and progress bars.
EXTRAS ?= test
# Extras installed by make bench.
BENCH_EXTRAS ?= bench
# Each checkout or helper may build into its own folder.
BUILD_DIR ?= build/{wheel_tag}
# The build requirements, and those of an extra ($(call EXTRA_REQUIRES,name)),
# read from pyproject.toml so they are listed once.
EXTRA_REQUIRES = $(shell $(PYTHON) -c "import tomllib; print(' '.join(repr(r) for r in tomllib.load(open('pyproject.toml','rb'))['project']['optional-dependencies']['$(1)']))")
BUILD_REQUIRES = $(shell $(PYTHON) -c "import tomllib; print(' '.join(repr(r) for r in tomllib.load(open('pyproject.toml','rb'))['build-system']['requires']))")

.PHONY: test install demo bench lint sanitize odr debug wheel docs clean

$(PYTHON):
	$(PY) -m venv $(VENV)
	$(PIP) install -q --upgrade pip

# Builds without isolation so that the CMake build folder is reused between runs.
install: $(PYTHON)
	$(PIP) install -q $(BUILD_REQUIRES)
	$(PIP) install -q --no-build-isolation -C build-dir="$(BUILD_DIR)" $(BUILD_FLAGS) ".[$(EXTRAS)]"

test: install
	$(PYTHON) -m pytest -q $(ORDER_ARGS) $(PYTEST_ARGS)

demo: EXTRAS = io
demo: install
	$(PYTHON) -m tarsel demo

bench: install
	$(PIP) install -q ".[$(BENCH_EXTRAS)]" --no-build-isolation
	for script in benchmarks/bench_*.py; do $(PYTHON) $$script || exit 1; done

# The wheel is built like make install builds (same environment and build
# folder, so nothing is compiled twice), then auditwheel checks its symbol
# versions and gives it the manylinux tag. oneTBB and OpenBLAS stay the
# dependencies they are (the tbb and scipy-openblas32 wheels, found through the
# module's run path and tarsel._loader) instead of being copied into the wheel;
# for that reason `auditwheel show` names them as external libraries.
# auditwheel runs patchelf, which it finds on the path.
WHEEL_EXCLUDES = --exclude libtbb.so.12 --exclude libscipy_openblas.so
wheel: $(PYTHON)
	$(PIP) install -q $(BUILD_REQUIRES) 'auditwheel>=6.1' patchelf
	rm -rf build/wheelhouse dist/tarsel-*.whl
	$(PIP) wheel -q --no-build-isolation --no-deps -w build/wheelhouse \
		-C build-dir="$(BUILD_DIR)" $(BUILD_FLAGS) .
	PATH="$(abspath $(VENV))/bin:$$PATH" $(VENV)/bin/auditwheel repair $(WHEEL_EXCLUDES) \
		-w dist build/wheelhouse/tarsel-*.whl
	$(VENV)/bin/auditwheel show dist/tarsel-*.whl

# A fresh environment each time (-E): the pages run the README's quick start
# while they are built, so none of them can show stale output.
docs: install
	$(PIP) install -q $(call EXTRA_REQUIRES,docs)
	$(PYTHON) -m sphinx -W --keep-going -E -q -b html docs docs/_build/html

# Checks only: the formatters are applied by hand (ruff format, clang-format -i).
LINT_REQUIRES = $(call EXTRA_REQUIRES,lint)
CXX_SOURCES = $(shell find src -name '*.cpp' -o -name '*.hpp' | sort)

# Every check runs; the target fails if any of them did.
lint: $(PYTHON)
	$(PIP) install -q $(LINT_REQUIRES)
	status=0; \
	$(VENV)/bin/ruff check . || status=1; \
	$(VENV)/bin/ruff format --check . || status=1; \
	$(VENV)/bin/clang-format --dry-run --Werror $(CXX_SOURCES) || status=1; \
	$(VENV)/bin/mypy || status=1; \
	exit $$status

# The interpreter is not instrumented, so the sanitizer runtimes must be loaded
# before it starts. PYTHONMALLOC=malloc gives every Python object (bytes buffers
# included) its own red zones. Leak detection is off because the interpreter
# keeps its own allocations to the end; leaks in the module are caught by the
# memory test in tests/test_robustness.py instead. oneTBB and OpenBLAS are not
# instrumented: their threads' stacks and private allocators are left alone.
SANITIZE_VENV ?= .venv-sanitize
SANITIZE_BUILD_DIR ?= build/sanitize
SANITIZE_RUNTIME = $(shell $(CXX) -print-file-name=libasan.so) $(shell $(CXX) -print-file-name=libubsan.so)
SANITIZE_ENV = LD_PRELOAD="$(SANITIZE_RUNTIME)" PYTHONMALLOC=malloc TARSEL_SANITIZED=1 \
	ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:detect_stack_use_after_return=1:strict_string_checks=1:check_initialization_order=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
SANITIZE_PYTEST_ARGS ?= -m "not slow"

sanitize:
	$(MAKE) install VENV=$(SANITIZE_VENV) BUILD_DIR=$(SANITIZE_BUILD_DIR) \
		BUILD_FLAGS="-C cmake.define.TARSEL_SANITIZE=ON"
	$(SANITIZE_ENV) $(SANITIZE_VENV)/bin/python -m pytest -q $(SANITIZE_PYTEST_ARGS) $(PYTEST_ARGS)

# Extra configurations are built straight with CMake against the test
# environment's dependencies, once each, and checked by a short fit and
# recommend (tests/config_smoke.py) rather than the whole suite.
define build_config
	cmake -S . -B build/$(1) -G Ninja -DPython_EXECUTABLE="$(abspath $(PYTHON))" $(2) >/dev/null
	cmake --build build/$(1) -j 2
	rm -rf build/$(1)/pkg && mkdir -p build/$(1)/pkg && cp -r python/tarsel build/$(1)/pkg/
	rm -f build/$(1)/pkg/tarsel/_core*.so && cp build/$(1)/_core*.so build/$(1)/pkg/tarsel/
	$(PYTHON) tests/config_smoke.py build/$(1)/pkg
endef

odr: install
	$(call build_config,odr,-DCMAKE_BUILD_TYPE=Release -DTARSEL_LTO_ODR=ON)

debug: install
	$(call build_config,debug,-DCMAKE_BUILD_TYPE=Debug)

clean:
	rm -rf build dist .pytest_cache docs/_build
