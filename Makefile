# `make demo` runs the main job, `make test` builds and runs every test. Both set up
# .venv with Python 3.8 and the pinned requirements on first use and reuse it afterwards;
# `make test` also builds and tests the package under the machine's default python3 in
# .venv-default (skipped when that is 3.8 too).

VENV ?= .venv
PY := $(VENV)/bin/python
# Python 3.8 as a command, or from pyenv when the shell does not select it.
PYTHON38 ?= $(shell for p in python3.8 $${PYENV_ROOT:-$$HOME/.pyenv}/versions/3.8*/bin/python3.8; do \
	  command -v $$p >/dev/null 2>&1 && $$p -c 'import sys; assert sys.version_info[:2] == (3, 8)' 2>/dev/null \
	  && { echo $$p; break; }; done)
DEFAULT_PYTHON ?= python3
VENV_DEFAULT ?= .venv-default
PY_DEFAULT := $(VENV_DEFAULT)/bin/python
DEFAULT_IS_38 := $(shell $(DEFAULT_PYTHON) -c 'import sys; print(int(sys.version_info[:2] == (3, 8)))' 2>/dev/null)
JOBS ?= 2
CPP_BUILD := build/cpp
SOURCES := $(shell find common scores pipelines src -type f -not -name '*.pyc' -not -name '*.so') \
	CMakeLists.txt pyproject.toml

.PHONY: all build build-default test test-cpp test-python test-python-default demo clean

all: test

REQUIREMENTS := requirements.txt requirements-extras.txt

$(PY): $(REQUIREMENTS)
	@test -n "$(PYTHON38)" || { echo "Python 3.8 not found: install it or pass PYTHON38=/path/to/python3.8"; exit 1; }
	$(PYTHON38) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip
	$(PY) -m pip install --quiet $(addprefix -r ,$(REQUIREMENTS))
	touch $(PY)

$(PY_DEFAULT): $(REQUIREMENTS)
	$(DEFAULT_PYTHON) -m venv $(VENV_DEFAULT)
	$(PY_DEFAULT) -m pip install --quiet --upgrade pip
	$(PY_DEFAULT) -m pip install --quiet $(addprefix -r ,$(REQUIREMENTS))
	touch $(PY_DEFAULT)

# The package, built against the pinned pybind11 and installed into the venv.
$(VENV)/.installed: $(PY) $(SOURCES)
	$(PY) -m pip install --quiet --no-build-isolation --no-deps .
	touch $@

$(VENV_DEFAULT)/.installed: $(PY_DEFAULT) $(SOURCES)
	$(PY_DEFAULT) -m pip install --quiet --no-build-isolation --no-deps .
	touch $@

build: $(VENV)/.installed

build-default: $(VENV_DEFAULT)/.installed

test: test-cpp test-python test-python-default

test-python: build
	$(PY) -m pytest -q

# The same suite against the build for the machine's default python3.
test-python-default:
ifeq ($(DEFAULT_IS_38),1)
	@echo "the default python3 is Python 3.8: tested by test-python"
else
	$(MAKE) build-default
	$(PY_DEFAULT) -m pytest -q
endif

# C++ unit tests of internals that Python reaches only indirectly.
test-cpp: $(PY)
	PATH=$(abspath $(VENV))/bin:$$PATH cmake -S . -B $(CPP_BUILD) -G Ninja -DCORRSHIFT_PYTHON=OFF \
	  -DCORRSHIFT_CPP_TESTS=ON -DCORRSHIFT_WERROR=ON >/dev/null
	PATH=$(abspath $(VENV))/bin:$$PATH cmake --build $(CPP_BUILD) -j $(JOBS)
	PATH=$(abspath $(VENV))/bin:$$PATH ctest --test-dir $(CPP_BUILD) --output-on-failure

# The main job: all pairs of the bundled leukemia subset, then row scores; writes corrshift-demo/.
demo: build
	$(PY) examples/demo.py

clean:
	rm -rf build $(VENV) $(VENV_DEFAULT)

.PHONY: bench test-exhaustive
# Seconds per pass on the reference workload; writes bench/results/results.md and scaling.png.
bench: build
	$(PY) bench/run.py

# The C++ tests plus the exhaustive atanhf check (a minute or more), in their own build dir.
test-exhaustive: $(PY)
	PATH=$(abspath $(VENV))/bin:$$PATH cmake -S . -B build/cpp-exhaustive -G Ninja -DCORRSHIFT_PYTHON=OFF \
	  -DCORRSHIFT_CPP_TESTS=ON -DCORRSHIFT_WERROR=ON -DCORRSHIFT_EXHAUSTIVE_TESTS=ON >/dev/null
	PATH=$(abspath $(VENV))/bin:$$PATH cmake --build build/cpp-exhaustive -j $(JOBS)
	PATH=$(abspath $(VENV))/bin:$$PATH ctest --test-dir build/cpp-exhaustive --output-on-failure

# Sanitizers, ThreadSanitizer driver, valgrind, long fuzzing and the memory stress run.
include mk/reliability.mk
