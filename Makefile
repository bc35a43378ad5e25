# make test  - create .venv if needed, build and install tarsel with its test extras, run the suite
# make demo  - run the main job on the embedded default data
# make bench - run the benchmarks (not part of the test run); bench_peers.py runs only
#              with the peers extra: make bench BENCH_EXTRAS=bench,peers
# make sanitize - build with AddressSanitizer and UndefinedBehaviorSanitizer into
#                 .venv-sanitize and build/sanitize, then run the suite under them
PY ?= python3
VENV ?= .venv
PYTHON := $(VENV)/bin/python
PIP := $(PYTHON) -m pip
PYTEST_ARGS ?=
# Extra config settings for the wheel build (-C key=value ...).
BUILD_FLAGS ?=
# Optional dependencies installed with the package: the test tools, or for the
# demo only the readers and progress bars.
EXTRAS ?= test
# Extras installed by make bench.
BENCH_EXTRAS ?= bench
# Each checkout or helper may build into its own folder.
BUILD_DIR ?= build/{wheel_tag}
# The build requirements, read from pyproject.toml so they are listed once.
BUILD_REQUIRES = $(shell $(PYTHON) -c "import tomllib; print(' '.join(repr(r) for r in tomllib.load(open('pyproject.toml','rb'))['build-system']['requires']))")

.PHONY: test install demo bench sanitize clean

$(PYTHON):
	$(PY) -m venv $(VENV)
	$(PIP) install -q --upgrade pip

# Builds without isolation so that the CMake build folder is reused between runs.
install: $(PYTHON)
	$(PIP) install -q $(BUILD_REQUIRES)
	$(PIP) install -q --no-build-isolation -C build-dir="$(BUILD_DIR)" $(BUILD_FLAGS) ".[$(EXTRAS)]"

test: install
	$(PYTHON) -m pytest -q $(PYTEST_ARGS)

demo: EXTRAS = io
demo: install
	$(PYTHON) -m tarsel demo

bench: install
	$(PIP) install -q ".[$(BENCH_EXTRAS)]" --no-build-isolation
	for script in benchmarks/bench_*.py; do $(PYTHON) $$script || exit 1; done

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

clean:
	rm -rf build dist .pytest_cache
