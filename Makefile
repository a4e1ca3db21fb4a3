# `make demo` runs the main job, `make test` builds and runs every test. Both set up
# .venv with Python 3.8 and the pinned requirements on first use and reuse it afterwards;
# `make test` also builds and tests the package under the machine's default python3 in
# .venv-default and under Python 3.13 in .venv-3.13 (beside today's scanpy), then installs
# the wheel of `make wheel` into a fresh venv that already holds scanpy.
# `make test-all-pythons` does the same for Python 3.9, 3.10 and 3.12.

# A Python X.Y as a command, or from pyenv when the shell does not select it.
find_python = $(shell for p in python$(1) $${PYENV_ROOT:-$$HOME/.pyenv}/versions/$(1).*/bin/python$(1); do \
	  command -v $$p >/dev/null 2>&1 && $$p -c 'import sys; assert "%d.%d" % sys.version_info[:2] == "$(1)"' \
	  2>/dev/null && { echo $$p; break; }; done)

VENV ?= .venv
PY := $(VENV)/bin/python
PYTHON38 ?= $(call find_python,3.8)
DEFAULT_PYTHON ?= python3
VENV_DEFAULT ?= .venv-default
PY_DEFAULT := $(VENV_DEFAULT)/bin/python
DEFAULT_SERIES := $(shell $(DEFAULT_PYTHON) -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null)
JOBS ?= 2
CPP_BUILD := build/cpp
SOURCES := $(shell find common scores pipelines src -type f -not -name '*.pyc' -not -name '*.so') \
	CMakeLists.txt pyproject.toml
REQUIREMENTS := requirements.txt requirements-extras.txt
# Series built and tested by `make test` besides 3.8 and the default python3, and by
# `make test-all-pythons`; each in .venv-X.Y, with PYTHON3XX=/path/to/pythonX.Y to choose it.
TEST_SERIES := 3.13
OTHER_SERIES := 3.9 3.10 3.12

.PHONY: all build build-default test test-cpp test-python test-python-default test-all-pythons \
	wheel test-install demo clean

all: test

# $(1): the venv, $(2): its interpreter, $(3): its series, $(4): the variable that names the
# interpreter. $(1)/.ready stamps a venv that has the pinned requirements and, where the venv
# has NumPy 2, NumPy 1.x apart in $(1)/numpy1 (for tests/test_numpy_versions.py); it is
# remade when a requirements file changes. (A stamp, not bin/python: that is a link to the
# interpreter, whose time `touch` would change for every venv of it.) $(1)/.installed stamps
# the package, built against the pinned pybind11.
define venv_rules
$(1)/.ready: $(REQUIREMENTS) requirements-numpy1.txt
	@test -n "$(2)" || { echo "Python $(3) not found: install it or pass $(4)=/path/to/python$(3)"; exit 1; }
	$(2) -m venv $(1)
	$(1)/bin/python -m pip install --quiet --upgrade pip
	$(1)/bin/python -m pip install --quiet $(addprefix -r ,$(REQUIREMENTS))
	rm -rf $(1)/numpy1
	$(1)/bin/python -m pip install --quiet --no-deps --target $(1)/numpy1 -r requirements-numpy1.txt
	touch $(1)/.ready

$(1)/.installed: $(1)/.ready $(SOURCES)
	$(1)/bin/python -m pip install --quiet --no-build-isolation --no-deps .
	touch $(1)/.installed
endef

$(eval $(call venv_rules,$(VENV),$(PYTHON38),3.8,PYTHON38))
$(eval $(call venv_rules,$(VENV_DEFAULT),$(DEFAULT_PYTHON),default,DEFAULT_PYTHON))
$(foreach s,$(TEST_SERIES) $(OTHER_SERIES),$(eval PYTHON$(subst .,,$(s)) ?= $(call find_python,$(s))) \
	$(eval $(call venv_rules,.venv-$(s),$(PYTHON$(subst .,,$(s))),$(s),PYTHON$(subst .,,$(s)))))

build: $(VENV)/.installed

build-default: $(VENV_DEFAULT)/.installed

test: test-cpp test-python test-python-default $(addprefix test-python-,$(TEST_SERIES)) test-install

test-python: build
	$(PY) -m pytest -q

# The same suite against the build for the machine's default python3 (unless that is
# a series tested anyway).
test-python-default:
ifneq ($(filter $(DEFAULT_SERIES),3.8 $(TEST_SERIES)),)
	@echo "the default python3 is Python $(DEFAULT_SERIES): tested in its own venv"
else
	$(MAKE) build-default
	$(PY_DEFAULT) -m pytest -q
endif

test-python-%: .venv-%/.installed
	.venv-$*/bin/python -m pytest -q

test-all-pythons: $(addprefix test-python-,$(OTHER_SERIES))

# C++ unit tests of internals that Python reaches only indirectly.
test-cpp: $(VENV)/.ready
	PATH=$(abspath $(VENV))/bin:$$PATH cmake -S . -B $(CPP_BUILD) -G Ninja -DCORRSHIFT_PYTHON=OFF \
	  -DCORRSHIFT_CPP_TESTS=ON -DCORRSHIFT_WERROR=ON >/dev/null
	PATH=$(abspath $(VENV))/bin:$$PATH cmake --build $(CPP_BUILD) -j $(JOBS)
	PATH=$(abspath $(VENV))/bin:$$PATH ctest --test-dir $(CPP_BUILD) --output-on-failure

# The C++ sources and headers of the modules and of the C++ tests, in the format of
# .clang-format, checked with the clang-format pinned in requirements.txt (format with
# `$(VENV)/bin/clang-format -i FILES`). `make lint` runs it beside the other checks.
CPP_FILES = $(sort $(shell find common scores pipelines tests/cpp -name '*.cpp' -o -name '*.hpp'))
.PHONY: lint lint-cpp
lint: lint-cpp
lint-cpp: $(VENV)/.ready
	@echo "clang-format --dry-run -Werror: $(words $(CPP_FILES)) C++ files"
	@$(VENV)/bin/clang-format --dry-run -Werror $(CPP_FILES)

# The sdist, and from it a wheel for Python 3.13 (WHEEL_VENV=.venv-X.Y for another), in
# dist/; auditwheel names the oldest Linux systems the wheel serves.
WHEEL_VENV ?= .venv-3.13
wheel: $(WHEEL_VENV)/.ready
	rm -rf dist
	$(WHEEL_VENV)/bin/python -m build --no-isolation --outdir dist .
	$(WHEEL_VENV)/bin/python -m auditwheel show dist/*.whl

# A user's install beside today's single-cell stack: a fresh Python 3.13 venv with scanpy,
# anndata, pandas, pyarrow and dask at the pinned versions, then the wheel of `make wheel`,
# then its sdist (built by pip as `pip install .` builds).
STACK_VENV := build/stack-venv
test-install: wheel
	rm -rf $(STACK_VENV)
	$(PYTHON313) -m venv $(STACK_VENV)
	$(STACK_VENV)/bin/python -m pip install --quiet --upgrade pip
	$(STACK_VENV)/bin/python -m pip install --quiet -r requirements-extras.txt -c requirements.txt
	$(STACK_VENV)/bin/python tests/install_check.py dist/*-cp313-*.whl dist/*.tar.gz

# The main job: all pairs of the bundled leukemia subset, then row scores; writes corrshift-demo/.
demo: build
	$(PY) examples/demo.py

clean:
	rm -rf build dist $(VENV) $(VENV_DEFAULT) $(addprefix .venv-,$(TEST_SERIES) $(OTHER_SERIES))

.PHONY: bench test-exhaustive
# Seconds per pass on the reference workload; writes bench/results/results.md and scaling.png.
bench: build
	$(PY) bench/run.py

# The C++ tests plus the exhaustive atanhf check (a minute or more), in their own build dir.
test-exhaustive: $(VENV)/.ready
	PATH=$(abspath $(VENV))/bin:$$PATH cmake -S . -B build/cpp-exhaustive -G Ninja -DCORRSHIFT_PYTHON=OFF \
	  -DCORRSHIFT_CPP_TESTS=ON -DCORRSHIFT_WERROR=ON -DCORRSHIFT_EXHAUSTIVE_TESTS=ON >/dev/null
	PATH=$(abspath $(VENV))/bin:$$PATH cmake --build build/cpp-exhaustive -j $(JOBS)
	PATH=$(abspath $(VENV))/bin:$$PATH ctest --test-dir build/cpp-exhaustive --output-on-failure

# Sanitizers, ThreadSanitizer driver, valgrind, long fuzzing and the memory stress run.
include mk/reliability.mk
