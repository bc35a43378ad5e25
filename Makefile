# make test  - create .venv if needed, build and install tarsel with its test extras, run the suite
# make demo  - run the main job on the embedded default data
# make bench - run the benchmarks (not part of the test run)
PY ?= python3
VENV ?= .venv
PYTHON := $(VENV)/bin/python
PIP := $(PYTHON) -m pip
PYTEST_ARGS ?=
# Each checkout or helper may build into its own folder.
BUILD_DIR ?= build/{wheel_tag}
# The build requirements, read from pyproject.toml so they are listed once.
BUILD_REQUIRES = $(shell $(PYTHON) -c "import tomllib; print(' '.join(repr(r) for r in tomllib.load(open('pyproject.toml','rb'))['build-system']['requires']))")

.PHONY: test install demo bench clean

$(PYTHON):
	$(PY) -m venv $(VENV)
	$(PIP) install -q --upgrade pip

# Builds without isolation so that the CMake build folder is reused between runs.
install: $(PYTHON)
	$(PIP) install -q $(BUILD_REQUIRES)
	$(PIP) install -q --no-build-isolation -C build-dir="$(BUILD_DIR)" ".[test]"

test: install
	$(PYTHON) -m pytest -q $(PYTEST_ARGS)

demo: install
	$(PYTHON) -m tarsel demo

bench: install
	$(PIP) install -q ".[bench]" --no-build-isolation
	for script in benchmarks/bench_*.py; do $(PYTHON) $$script || exit 1; done

clean:
	rm -rf build dist .pytest_cache
