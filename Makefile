# Two commands do everything on a fresh machine:
#   make demo   - set up .venv, build the module, run the demo on the built-in town
#                 (make demo OSM=extract.osm.pbf [SOURCE=lat,lon TARGET=lat,lon]
#                  [PROFILE=city|trekking|mtb] for a real map)
#   make test   - set up .venv, build the module, run every test
#
# PYTHON may name the interpreter; otherwise the first working python3.13 or
# python3.12 on PATH is used, then a pyenv-installed 3.13 or 3.12
# (tools/find_python.sh, which CI asks too).
VENV ?= .venv
FIND_PYTHON := $(dir $(abspath $(lastword $(MAKEFILE_LIST))))tools/find_python.sh
PYTHON ?= $(shell sh $(FIND_PYTHON))
VPY := $(VENV)/bin/python
CPP_BUILD ?= build/cpp

.PHONY: demo test typecheck venv install deps cpp-configure cpp-test test-armhf armhf-deps test-armhf-python \
  format format-check \
  clean test-asan fuzz-build fuzz fuzz-ci

# Debian packages the build needs, as "file it provides:package" pairs. Run as
# root with apt (as CI is), a missing one is installed; otherwise the build
# stops and says what to install. It never goes on without them.
BUILD_DEBS = /usr/include/fast_float/fast_float.h:libfast-float-dev
TEST_DEBS = /usr/src/googletest/googletest/CMakeLists.txt:googletest
ARMHF_DEBS = /usr/bin/arm-linux-gnueabihf-g++:g++-arm-linux-gnueabihf /usr/bin/qemu-arm:qemu-user
define need_debs
@missing=""; for pair in $(1); do [ -e "$${pair%%:*}" ] || missing="$$missing $${pair#*:}"; done; \
if [ -n "$$missing" ]; then \
  if [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then \
    echo "Installing Debian packages:$$missing"; \
    export DEBIAN_FRONTEND=noninteractive; \
    apt-get install -y -qq --no-install-recommends $$missing >/dev/null 2>&1 || \
      { apt-get update -qq && apt-get install -y -qq --no-install-recommends $$missing >/dev/null; }; \
  else \
    echo "Missing Debian packages:$$missing (install them: sudo apt-get install$$missing)"; exit 1; \
  fi; \
fi
endef

$(VENV)/.created:
	@test -n "$(PYTHON)" || { echo "No Python >= 3.12 found: install python3.13 or python3.12 (or set PYTHON=...)"; exit 1; }
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install --quiet --upgrade pip
	touch $@

venv: $(VENV)/.created

deps:
	$(call need_debs,$(BUILD_DEBS))

# Reinstall only when something that goes into the wheel changed. An older
# install under the former distribution name velorin_core is removed first, so
# that its record cannot later delete the module's files.
INSTALL_STAMP := $(VENV)/.installed
PACKAGE_SOURCES := $(shell find src velorin -type f -not -path '*/__pycache__/*' 2>/dev/null) \
  CMakeLists.txt pyproject.toml README.md

$(INSTALL_STAMP): $(VENV)/.created $(PACKAGE_SOURCES) | deps
	$(VPY) -m pip uninstall --quiet --yes velorin_core >/dev/null 2>&1 || true
	$(VPY) -m pip install --quiet ".[test,maps,serve,serve-test]"
	touch $@

install: $(INSTALL_STAMP)

demo: install
	$(VPY) examples/demo.py $(if $(OSM),--osm "$(OSM)") $(if $(SOURCE),--source "$(SOURCE)") \
	  $(if $(TARGET),--target "$(TARGET)") $(if $(PROFILE),--profile "$(PROFILE)")

# The C++ tests run first so that the pytest summary closes the output.
test: install
	$(MAKE) --no-print-directory cpp-test
	$(MAKE) --no-print-directory typecheck
	$(VPY) -m pytest -q

# The package and a typed example under mypy --strict (which reads the
# installed velorin_core stubs), then the stubs against the built module.
typecheck: install
	$(VPY) -m mypy velorin examples/route_places.py
	$(VPY) -m mypy.stubtest velorin_core

cpp-configure:
	$(call need_debs,$(BUILD_DEBS) $(TEST_DEBS))
	cmake -S . -B $(CPP_BUILD) -DVELORIN_BUILD_TESTS=ON -DVELORIN_BUILD_MODULE=OFF \
	  -DVELORIN_WERROR=$${VELORIN_WERROR:-OFF} -DCMAKE_BUILD_TYPE=Release

cpp-test: cpp-configure
	cmake --build $(CPP_BUILD) -j2
	ctest --test-dir $(CPP_BUILD) --output-on-failure --no-tests=error

# --- 32-bit ARM (armhf) ------------------------------------------------------
# The engine, its C++ tests and benchmarks cross-built with Debian's
# arm-linux-gnueabihf compiler and run under qemu-arm; then the same route
# requests on the shared maps on this machine and under qemu, compared bit for
# bit (tools/compare_platforms.py; skipped when the maps are absent).
ARMHF_BUILD ?= build/armhf

armhf-deps:
	$(call need_debs,$(BUILD_DEBS) $(TEST_DEBS) $(ARMHF_DEBS))

test-armhf: armhf-deps install
	cmake -S . -B $(ARMHF_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake \
	  -DVELORIN_BUILD_TESTS=ON -DVELORIN_BUILD_MODULE=OFF -DVELORIN_WERROR=$${VELORIN_WERROR:-OFF} \
	  -DCMAKE_BUILD_TYPE=Release
	cmake --build $(ARMHF_BUILD) -j2
	ctest --test-dir $(ARMHF_BUILD) -j2 --output-on-failure --no-tests=error
	$(MAKE) --no-print-directory cpp-configure
	cmake --build $(CPP_BUILD) -j2 --target route_dump
	$(VPY) tools/compare_platforms.py --native $(CPP_BUILD)/route_dump \
	  --armhf $(ARMHF_BUILD)/route_dump

# The whole pytest suite against the module cross-built for armhf, run by an
# armhf Python 3.13 from Debian's packages under qemu-arm. The armhf root is
# made once in $(ARMHF_ROOT) (tools/armhf_python_root.sh); the machine's own
# apt state is not touched. VELORIN_TEST_LIGHT makes the heaviest tests
# smaller, as in the sanitizer run; they all still run, except the docs'
# commands (tests/test_docs.py): some 25 interpreters that each import numpy,
# osmium and matplotlib would take minutes under qemu, to run again the
# Python that the x86-64 runs have run, on maps that the bit-for-bit route
# comparison of make test-armhf covers. For the same reason the tests that
# convert all of Andorra by name (places, the Ordino ride, rides on Andorra)
# and the example script that starts a pool of interpreters are left out
# there: about a quarter of the suite's time under qemu, for conversion code
# that the synthetic town's tests run on armhf too. The root's headers
# come after the cross compiler's own (-idirafter), so only Python's are taken
# from there, never its C library's.
ARMHF_ROOT ?= build/armhf-root
ARMHF_MODULE_BUILD ?= build/armhf-module
ARMHF_PY_DEBS = /usr/bin/mmdebstrap:mmdebstrap

test-armhf-python: armhf-deps
	$(call need_debs,$(ARMHF_PY_DEBS))
	sh tools/armhf_python_root.sh $(ARMHF_ROOT)
	cmake -S . -B $(ARMHF_MODULE_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake \
	  -DVELORIN_BUILD_MODULE=ON -DVELORIN_WERROR=$${VELORIN_WERROR:-OFF} -DCMAKE_BUILD_TYPE=Release \
	  -DPython_EXECUTABLE=$(abspath $(ARMHF_ROOT))/python \
	  -DPython_INCLUDE_DIR=$(abspath $(ARMHF_ROOT))/usr/include/python3.13 \
	  -DPython_SOABI=cpython-313-arm-linux-gnueabihf \
	  "-DCMAKE_CXX_FLAGS=-idirafter $(abspath $(ARMHF_ROOT))/usr/include"
	cmake --build $(ARMHF_MODULE_BUILD) -j2
	VELORIN_TEST_LIGHT=1 PYTHONPATH=$(abspath $(ARMHF_MODULE_BUILD)):$(CURDIR) \
	  $(ARMHF_ROOT)/python -m pytest -q -p no:cacheprovider --durations=15 --ignore=tests/test_docs.py \
	  -k "not andorra and not ordino and not batch_script"

# --- Sanitizers -------------------------------------------------------------
# The module built with AddressSanitizer and UndefinedBehaviorSanitizer (gcc),
# in its own venv and build folder, then the whole pytest suite under it. The
# interpreter is not instrumented, so the ASan runtime is preloaded into it;
# PYTHONMALLOC=malloc routes every Python object through ASan's allocator, so
# a reference this module drops once too often is caught as a use after free.
# libstdc++ is preloaded too: ASan must find the real __cxa_throw when it
# starts, or the first C++ exception in another extension (matplotlib's)
# aborts. Any report fails the run, from any process: every process of the
# run (the interpreter, the commands and service workers that tests start, the
# pools' workers) writes its reports into a file of its own in $(ASAN_LOGS)
# (log_path), and the run fails when one is there afterwards, whatever exit
# status the tests saw (a pool does not check its workers' statuses, and
# LeakSanitizer reports as a process exits). Leaks are looked for when a
# process exits normally; one killed by a signal, or leaving through os._exit
# as forked children do, is checked for memory errors only, and so are the
# worker processes of the one test that starts a Dask cluster (they leave
# with Dask's threads still running; tests/test_demo.py).
# intercept_tls_get_addr=0: with dynamic TLS tracked, gcc 12's LeakSanitizer
# now and then crashes in its exit-time scan ("Tracer caught signal 11", seen
# in about one suite run in two, in the demo's child processes; none in five
# runs without it). Untracked, a pointer kept only in another library's
# dynamic TLS could at worst be reported as a leak, never hidden.
# VELORIN_TEST_LIGHT makes the heaviest tests smaller; they all still run.
# tests/sanitizer/sitecustomize.py, on PYTHONPATH, imports the libraries that
# keep objects for the life of the process with leak detection off, in every
# Python process of the run (see the file).
ASAN_VENV ?= .venv-asan
ASAN_LOGS ?= build/asan-logs
ASAN_ENV = LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" \
  PYTHONMALLOC=malloc PYTHONPATH=$(CURDIR)/tests/sanitizer \
  ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:check_initialization_order=1:strict_string_checks=1:intercept_tls_get_addr=0:log_path=$(abspath $(ASAN_LOGS))/asan \
  LSAN_OPTIONS=suppressions=$(CURDIR)/tests/sanitizer/lsan.supp:print_suppressions=0 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:log_path=$(abspath $(ASAN_LOGS))/ubsan VELORIN_TEST_LIGHT=1

test-asan: deps
	$(MAKE) --no-print-directory venv VENV=$(ASAN_VENV)
	VELORIN_SANITIZE=ON $(ASAN_VENV)/bin/python -m pip install --quiet ".[test,maps]" \
	  --config-settings=build-dir='build/asan-{wheel_tag}'
	rm -rf $(ASAN_LOGS) && mkdir -p $(ASAN_LOGS)
	$(ASAN_ENV) $(ASAN_VENV)/bin/python -m pytest -q -p no:cacheprovider --durations=15; status=$$?; \
	reports=$$(ls $(ASAN_LOGS)); [ -z "$$reports" ] || { \
	  for f in $(ASAN_LOGS)/*; do echo "=== $$f"; cat "$$f"; done; \
	  echo "make test-asan: sanitizer reports from $$(echo "$$reports" | wc -l) process(es), above"; \
	  exit 1; }; \
	exit $$status

# --- Fuzzing -----------------------------------------------------------------
# libFuzzer targets under tests/fuzz/, built with clang and both sanitizers.
# New inputs go to $(FUZZ_WORK) (ignored by git); the seeds in
# tests/fuzz/corpus/ are only read. A finding stops the run and is written to
# $(FUZZ_WORK)/crash-* (or leak-, timeout-, oom-); replay it with
#   $(FUZZ_BUILD)/graph_json_fuzzer FILE
# Longer runs: make fuzz FUZZ_SECONDS=3600 (each target runs that long).
FUZZ_BUILD ?= build/fuzz
FUZZ_CXX ?= clang++-16
FUZZ_WORK ?= fuzz-corpus-work
FUZZ_SECONDS ?= 600
ROUTE_FUZZ_SECONDS ?= $(FUZZ_SECONDS)
FUZZ_FLAGS ?= -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
FUZZ_ENV = ASAN_SYMBOLIZER_PATH="$$(command -v llvm-symbolizer)" UBSAN_OPTIONS=print_stacktrace=1

fuzz-build: deps
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=$(FUZZ_CXX) -DVELORIN_FUZZ=ON \
	  -DVELORIN_BUILD_MODULE=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(FUZZ_BUILD) -j2

fuzz: fuzz-build
	@mkdir -p $(FUZZ_WORK)/graph_json $(FUZZ_WORK)/route
	$(FUZZ_ENV) $(FUZZ_BUILD)/graph_json_fuzzer $(FUZZ_WORK)/graph_json tests/fuzz/corpus/graph_json \
	  -dict=tests/fuzz/graph_json.dict -max_len=8192 -max_total_time=$(FUZZ_SECONDS) \
	  -artifact_prefix=$(FUZZ_WORK)/ $(FUZZ_FLAGS)
	$(FUZZ_ENV) $(FUZZ_BUILD)/route_fuzzer $(FUZZ_WORK)/route tests/fuzz/corpus/route \
	  -max_len=512 -max_total_time=$(ROUTE_FUZZ_SECONDS) -artifact_prefix=$(FUZZ_WORK)/ $(FUZZ_FLAGS)

# The short run that CI makes: a minute on the decoder, half on the routes.
fuzz-ci:
	$(MAKE) --no-print-directory fuzz FUZZ_SECONDS=60 ROUTE_FUZZ_SECONDS=30

# One clang-format release for everyone: releases differ in how they lay out
# the same code, and CI checks the layout.
CLANG_FORMAT_VERSION ?= 23.1.5
CLANG_FORMAT_STAMP := $(VENV)/.clang-format-$(CLANG_FORMAT_VERSION)
CXX_SOURCES = $$(git ls-files 'src/*.cpp' 'src/*.hpp' 'tests/*.cpp' 'bench/*.cpp' 'tools/*.cpp')

$(CLANG_FORMAT_STAMP): $(VENV)/.created
	$(VPY) -m pip install --quiet "clang-format==$(CLANG_FORMAT_VERSION)"
	touch $@

format: $(CLANG_FORMAT_STAMP)
	$(VENV)/bin/clang-format -i $(CXX_SOURCES)

format-check: $(CLANG_FORMAT_STAMP)
	$(VENV)/bin/clang-format --dry-run -Werror $(CXX_SOURCES)

clean:
	rm -rf build $(VENV) $(ASAN_VENV)
