# `make demo` runs the main job, `make test` builds and runs every test. Both set up
# .venv with Python 3.8 and the pinned requirements on first use and reuse it afterwards.

VENV ?= .venv
PY := $(VENV)/bin/python
# Python 3.8 as a command, or from pyenv when the shell does not select it.
PYTHON38 ?= $(shell for p in python3.8 $${PYENV_ROOT:-$$HOME/.pyenv}/versions/3.8*/bin/python3.8; do \
	  command -v $$p >/dev/null 2>&1 && $$p -c 'import sys; assert sys.version_info[:2] == (3, 8)' 2>/dev/null \
	  && { echo $$p; break; }; done)
JOBS ?= 2
CPP_BUILD := build/cpp
SOURCES := $(shell find common scores pipelines src -type f -not -name '*.pyc' -not -name '*.so') \
	CMakeLists.txt pyproject.toml

.PHONY: all build test test-cpp test-python demo clean

all: test

$(PY): requirements.txt requirements-demo.txt
	@test -n "$(PYTHON38)" || { echo "Python 3.8 not found: install it or pass PYTHON38=/path/to/python3.8"; exit 1; }
	$(PYTHON38) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip
	$(PY) -m pip install --quiet -r requirements.txt -r requirements-demo.txt
	touch $(PY)

# The package, built against the pinned pybind11 and installed into .venv.
$(VENV)/.installed: $(PY) $(SOURCES)
	$(PY) -m pip install --quiet --no-build-isolation --no-deps .
	touch $@

build: $(VENV)/.installed

test: test-cpp test-python

test-python: build
	$(PY) -m pytest -q

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
	rm -rf build $(VENV)

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
