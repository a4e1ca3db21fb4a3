# Reliability checks: sanitizers, the ThreadSanitizer driver, valgrind, long fuzzing
# and the memory stress run. Included from the Makefile, whose VENV, PY, PYTHON38 and
# JOBS it uses. `make test` needs none of this: the bounded fuzz run is an ordinary
# pytest file (tests/test_fuzz.py) collected by test-python.
#
#   make sanitize   extension modules built with AddressSanitizer and
#                   UndefinedBehaviorSanitizer into $(SANITIZE_VENV) (with the extras), the
#                   whole pytest suite run under them, plus the C++ unit tests built the same way
#   make tsan       C++ unit tests and tests/cpp/tsan_driver.cpp built with
#                   ThreadSanitizer (no Python: the interpreter is not instrumented)
#   make memcheck   one small call of each function under valgrind memcheck
#   make fuzz       the property-based fuzz runs, one target after another, each for
#                   FUZZ_SECONDS (default 600): the native functions (tests/test_fuzz.py),
#                   the block module (tests/test_fuzz_blocks.py) and the API functions with
#                   hostile arguments (tests/test_fuzz_api.py); `make fuzz-native`,
#                   `fuzz-blocks` and `fuzz-api` run one of them
#   make stress     exhaustive pipelines at 23170 and 23171 rows (needs about 9 GB of
#                   free memory and a few minutes) and the 2^31-element limit
#
# Why the preloads: the interpreter is an ordinary, uninstrumented executable, and the
# ASan runtime must be the first library in the process to intercept malloc and friends.
# Loading an instrumented extension module into an uninstrumented python fails ("ASan
# runtime does not come first in initial library list") unless the runtime is preloaded.
# The C++ runtime is preloaded after it because python itself does not link it: ASan
# resolves the real __cxa_throw when it starts, and without libstdc++ already in the
# process the first C++ exception aborts with "CHECK failed ... real___cxa_throw".
#   LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libstdc++.so)" \
#     PYTHONMALLOC=malloc python -m pytest
# (with clang: -print-file-name=libclang_rt.asan-x86_64.so). PYTHONMALLOC=malloc makes
# every Python object a malloc block, so ASan sees overflows into them and LeakSanitizer
# follows pointers stored in them; otherwise memory reachable only from pymalloc arenas
# would be reported as leaked. The interpreter is built without frame pointers, so
# allocation stacks are unwound the slow, exact way (fast_unwind_on_malloc=0), ten frames
# deep: enough to name the code that allocated and for the suppressions to match.
# tests/reliability/lsan.supp names only memory that is not the modules': objects NumPy's
# extension modules create at import and Python 3.8 never frees (it never unloads
# extension modules), blocks pymalloc takes in interpreters started with -I (which ignore
# PYTHONMALLOC), and interpreters of other versions that some tests start. Nothing that
# corrshift allocates is suppressed.

SANITIZE_VENV ?= .venv-sanitize
SANITIZE_PY := $(SANITIZE_VENV)/bin/python
SANITIZE_BUILD ?= build/sanitize
SANITIZE_CPP_BUILD ?= build/sanitize-cpp
TSAN_BUILD ?= build/tsan
RELIABILITY := tests/reliability
FUZZ_SECONDS ?= 600
SANITIZE_PYTEST_ARGS ?= -q

# Test files that start a Dask client in the pytest process. distributed's event-loop threads
# still run when the interpreter exits, and LeakSanitizer takes the Python objects on their
# stacks for leaks (or its tracer fails on them), so these files run in a second pytest with
# the leak check off; AddressSanitizer and UBSan check every access there as everywhere.
SANITIZE_CLUSTER_TESTS ?= tests/test_engine_dask.py tests/test_output_faults.py tests/test_docs.py
# Tests of other files whose child processes start a Dask cluster or client: the same holds
# for those children at their exit.
SANITIZE_CLUSTER_CASES ?= tests/test_engine.py::test_killed_client_resumes_to_the_same_files \
	tests/test_engine.py::test_a_second_run_into_the_same_folder_is_refused_while_the_first_writes \
	tests/test_cli.py::test_parquet_output_on_a_local_cluster
SANITIZE_ASAN := fast_unwind_on_malloc=0:malloc_context_size=10:strict_string_checks=1:check_initialization_order=1
SANITIZE_ENV = LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libstdc++.so)" \
	PYTHONMALLOC=malloc \
	ASAN_OPTIONS=detect_leaks=1:$(SANITIZE_ASAN) \
	LSAN_OPTIONS=suppressions=$(abspath $(RELIABILITY)/lsan.supp):print_suppressions=0 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	CORRSHIFT_SANITIZED=address,undefined

.PHONY: sanitize sanitize-python sanitize-cpp tsan memcheck fuzz fuzz-native fuzz-blocks fuzz-api stress

# With the extras (pyarrow, dask and distributed, pandas, AnnData, ...), so that the Parquet,
# resume and cluster tests run against the instrumented modules too instead of being skipped.
$(SANITIZE_VENV)/.ready: $(REQUIREMENTS)
	@test -n "$(PYTHON38)" || { echo "Python 3.8 not found: pass PYTHON38=/path/to/python3.8"; exit 1; }
	$(PYTHON38) -m venv $(SANITIZE_VENV)
	$(SANITIZE_PY) -m pip install --quiet --upgrade pip
	$(SANITIZE_PY) -m pip install --quiet $(addprefix -r ,$(REQUIREMENTS))
	touch $(SANITIZE_VENV)/.ready

# The same package as `make build`, compiled with -fsanitize=address,undefined.
$(SANITIZE_VENV)/.installed: $(SANITIZE_VENV)/.ready $(SOURCES) $(wildcard src/corrshift/*.py)
	PATH=$(abspath $(SANITIZE_VENV))/bin:$$PATH $(SANITIZE_PY) -m pip install --quiet \
	  --no-build-isolation --no-deps -C build-dir=$(SANITIZE_BUILD) \
	  -C cmake.build-type=RelWithDebInfo -C cmake.define.CORRSHIFT_SANITIZE=address,undefined .
	touch $@

sanitize: sanitize-cpp sanitize-python

sanitize-python: $(SANITIZE_VENV)/.installed
	$(SANITIZE_ENV) $(SANITIZE_PY) -m pytest $(SANITIZE_PYTEST_ARGS) $(addprefix --ignore=,$(SANITIZE_CLUSTER_TESTS)) \
	  $(addprefix --deselect=,$(SANITIZE_CLUSTER_CASES))
	$(SANITIZE_ENV) ASAN_OPTIONS=detect_leaks=0:$(SANITIZE_ASAN) $(SANITIZE_PY) -m pytest $(SANITIZE_PYTEST_ARGS) \
	  $(SANITIZE_CLUSTER_TESTS) $(SANITIZE_CLUSTER_CASES)

sanitize-cpp: $(SANITIZE_VENV)/.ready
	PATH=$(abspath $(SANITIZE_VENV))/bin:$$PATH cmake -S . -B $(SANITIZE_CPP_BUILD) -G Ninja \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORRSHIFT_PYTHON=OFF -DCORRSHIFT_CPP_TESTS=ON \
	  -DCORRSHIFT_SANITIZE=address,undefined >/dev/null
	PATH=$(abspath $(SANITIZE_VENV))/bin:$$PATH cmake --build $(SANITIZE_CPP_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  PATH=$(abspath $(SANITIZE_VENV))/bin:$$PATH ctest --test-dir $(SANITIZE_CPP_BUILD) --output-on-failure

# Every threaded stage (fan-out, set-score workers, rank transform, the pass loop of all
# pipelines) under ThreadSanitizer; the driver also checks that results do not depend on
# the job count. halt_on_error makes any report fail the run.
tsan: $(VENV)/.ready
	PATH=$(abspath $(VENV))/bin:$$PATH cmake -S . -B $(TSAN_BUILD) -G Ninja \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORRSHIFT_PYTHON=OFF -DCORRSHIFT_CPP_TESTS=ON \
	  -DCORRSHIFT_SANITIZE=thread >/dev/null
	PATH=$(abspath $(VENV))/bin:$$PATH cmake --build $(TSAN_BUILD) -j $(JOBS)
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  PATH=$(abspath $(VENV))/bin:$$PATH ctest --test-dir $(TSAN_BUILD) --output-on-failure

# Valgrind runs the interpreter with the system allocator so that every object is a
# block valgrind tracks; the script fails on any invalid access, any use of
# uninitialised memory and any definitely lost block allocated by the modules.
memcheck: build
	$(PY) $(RELIABILITY)/memcheck.py --python $(PY)

# One target at a time: each runs on the machine's cores for FUZZ_SECONDS and reports the
# calls it tried.
fuzz: fuzz-native fuzz-blocks fuzz-api

fuzz-native: build
	CORRSHIFT_FUZZ_SECONDS=$(FUZZ_SECONDS) $(PY) -m pytest -q tests/test_fuzz.py

fuzz-blocks: build
	CORRSHIFT_FUZZ_SECONDS=$(FUZZ_SECONDS) $(PY) -m pytest -q tests/test_fuzz_blocks.py

fuzz-api: build
	CORRSHIFT_FUZZ_SECONDS=$(FUZZ_SECONDS) $(PY) -m pytest -q tests/test_fuzz_api.py

stress: build
	$(PY) $(RELIABILITY)/stress.py
