# Two commands do everything on a fresh machine:
#   make demo   - set up .venv, build the module, run the demo on the built-in town
#   make test   - set up .venv, build the module, run every test
#
# PYTHON may name the interpreter; otherwise the first working python3.13 or
# python3.12 on PATH is used, then a pyenv-installed 3.13 or 3.12.
VENV ?= .venv
PYTHON ?= $(shell for p in python3.13 python3.12; do \
             $$p -c 'import sys; assert sys.version_info >= (3, 12)' >/dev/null 2>&1 && { command -v $$p; exit 0; }; \
           done; \
           root=$$(pyenv root 2>/dev/null || echo $$HOME/.pyenv); \
           for v in 3.13 3.12; do \
             for p in $$(ls -d $$root/versions/$$v* 2>/dev/null | sort -rV); do \
               [ -x $$p/bin/python$$v ] && { echo $$p/bin/python$$v; exit 0; }; \
             done; \
           done)
VPY := $(VENV)/bin/python
CPP_BUILD ?= build/cpp

.PHONY: demo test venv install cpp-configure cpp-test format clean

$(VENV)/.created:
	@test -n "$(PYTHON)" || { echo "No Python >= 3.12 found: install python3.13 or python3.12 (or set PYTHON=...)"; exit 1; }
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install --quiet --upgrade pip
	touch $@

venv: $(VENV)/.created

install: venv
	$(VPY) -m pip install --quiet ".[test,maps]"

demo: install
	$(VPY) examples/demo.py

test: install
	$(VPY) -m pytest -q
	@if [ -f /usr/include/gtest/gtest.h ]; then $(MAKE) --no-print-directory cpp-test; \
	else echo "C++ unit tests skipped: GoogleTest not installed (apt-get install libgtest-dev)"; fi

cpp-configure:
	cmake -S . -B $(CPP_BUILD) -DVELORIN_BUILD_TESTS=ON -DVELORIN_BUILD_MODULE=OFF \
	  -DVELORIN_WERROR=$${VELORIN_WERROR:-OFF} -DCMAKE_BUILD_TYPE=Release

cpp-test: cpp-configure
	cmake --build $(CPP_BUILD) -j2
	ctest --test-dir $(CPP_BUILD) --output-on-failure

format:
	clang-format -i $$(git ls-files 'src/*.cpp' 'src/*.hpp' 'tests/*.cpp' 'bench/*.cpp')

clean:
	rm -rf build $(VENV)
