# Two entry points (see README):  make demo  |  make test
# Both create .venv with Python 3.10 (CI's version; any 3.10+ works, set
# PYTHON=... to choose), build the four extension modules with `pip install .`
# and then run the demo or the whole test suite.

PYTHON ?= $(shell for p in python3.10 $(HOME)/.pyenv/versions/3.10*/bin/python3.10 python3; do \
            $$p -c 'import sys; assert sys.version_info >= (3, 10)' 2>/dev/null && { echo $$p; break; }; done)
VENV ?= .venv
SOURCES := pyproject.toml CMakeLists.txt $(shell find src python cmake -type f 2>/dev/null)

.PHONY: demo test test-plain test-sanitized test-programs install bench clean

$(VENV)/.installed: $(SOURCES)
	@test -n "$(PYTHON)" || { echo "Python 3.10 or newer is required (set PYTHON=...)"; exit 2; }
	$(PYTHON) -m venv $(VENV)
	$(VENV)/bin/python -m pip install --quiet --upgrade pip
	$(VENV)/bin/python -m pip install --quiet '.[test,report]'
	@touch $@

install: $(VENV)/.installed

demo: $(VENV)/.installed
	$(VENV)/bin/ondrel-sdk demo

# The suite runs twice: against the normal build, then against a build with
# AddressSanitizer and UndefinedBehaviorSanitizer (any finding in the SDK's own
# code fails, leaks included).
test: test-plain test-sanitized

test-plain: $(VENV)/.installed test-programs
	$(VENV)/bin/python -m pytest -q

# The report tests open pages in Chromium and check DOT with Graphviz: Debian
# packages, installed when missing.
test-programs:
	bash tools/ensure_test_programs.sh

SANITIZE_VENV ?= .venv-sanitize
SANITIZER_LOGS := build/sanitizer-logs
CXX ?= g++
SANITIZER_PRELOAD = $(shell $(CXX) -print-file-name=libasan.so) $(shell $(CXX) -print-file-name=libstdc++.so.6)

$(SANITIZE_VENV)/.installed: $(SOURCES)
	@test -n "$(PYTHON)" || { echo "Python 3.10 or newer is required (set PYTHON=...)"; exit 2; }
	$(PYTHON) -m venv $(SANITIZE_VENV)
	$(SANITIZE_VENV)/bin/python -m pip install --quiet --upgrade pip
	$(SANITIZE_VENV)/bin/python -m pip install --quiet \
	    --config-settings=cmake.define.ONDREL_SANITIZE=ON \
	    --config-settings=cmake.build-type=RelWithDebInfo \
	    --config-settings=build-dir=build/sanitize '.[test,report]'
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
	    $(SANITIZE_VENV)/bin/python -m pytest -q -p no:cacheprovider
	$(SANITIZE_VENV)/bin/python tools/sanitizer_report.py $(SANITIZER_LOGS)

bench: $(VENV)/.installed
	for script in bench/bench_*.py; do $(VENV)/bin/python $$script || exit 1; done

clean:
	rm -rf $(VENV) $(SANITIZE_VENV) build
