# Two entry points (see README):  make demo  |  make test
# Both create .venv with Python 3.10 (CI's version; any 3.10+ works, set
# PYTHON=... to choose), build the four extension modules with `pip install .`
# and then run the demo or the whole test suite.

PYTHON ?= $(shell for p in python3.10 $(HOME)/.pyenv/versions/3.10*/bin/python3.10 python3; do \
            $$p -c 'import sys; assert sys.version_info >= (3, 10)' 2>/dev/null && { echo $$p; break; }; done)
VENV ?= .venv
SOURCES := pyproject.toml CMakeLists.txt $(shell find src python cmake -type f 2>/dev/null)

.PHONY: demo test install bench clean

$(VENV)/.installed: $(SOURCES)
	@test -n "$(PYTHON)" || { echo "Python 3.10 or newer is required (set PYTHON=...)"; exit 2; }
	$(PYTHON) -m venv $(VENV)
	$(VENV)/bin/python -m pip install --quiet --upgrade pip
	$(VENV)/bin/python -m pip install --quiet '.[test]'
	@touch $@

install: $(VENV)/.installed

demo: $(VENV)/.installed
	$(VENV)/bin/ondrel-sdk demo

test: $(VENV)/.installed
	$(VENV)/bin/python -m pytest -q

bench: $(VENV)/.installed
	for script in bench/bench_*.py; do $(VENV)/bin/python $$script || exit 1; done

clean:
	rm -rf $(VENV) build
