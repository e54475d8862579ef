# Set-up and everyday commands. Everything runs in a virtual environment
# made with $(PYTHON) (3.11 or newer); nothing is installed outside it.
PYTHON ?= python3
VENV ?= .venv
BIN := $(VENV)/bin
PY := $(BIN)/python
# Sanitizer builds: make test SANITIZE=ON (AddressSanitizer + UBSan).
SANITIZE ?= OFF
BUILD_ROOT ?= build/$(notdir $(VENV))
PIP_INSTALL := $(PY) -m pip install -q --disable-pip-version-check --no-build-isolation
PYTEST_ARGS ?=

ifeq ($(SANITIZE),ON)
# The interpreter is not built with the sanitizers, so their runtimes are
# preloaded; CPython leaks by design at exit, so leak detection is off, and
# pymalloc is bypassed so that ASan sees every allocation. Tests that build
# C++ checks of their own build them with the sanitizers too.
SANITIZER_ENV = LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_init_order=1 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 PYTHONMALLOC=malloc TAVRIX_SANITIZE=ON
endif
CXX ?= g++

.PHONY: help venv test demo bench stubtest clean

help:
	@echo "make demo   - build the package and run the end-to-end demo"
	@echo "make test   - build the package (development flags) and run every test"
	@echo "make bench  - build the package (release flags) and run the benchmarks"

$(PY):
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --disable-pip-version-check --upgrade pip "scikit-build-core>=0.10"

venv: $(PY)

# Development build: warnings are errors, assertions on.
install-dev: $(PY)
	TAVRIX_DEV=ON TAVRIX_SANITIZE=$(SANITIZE) $(PIP_INSTALL) ".[test,otel]" -Cbuild-dir=$(BUILD_ROOT)/dev-$(SANITIZE)

# Release build, with the extras the demo and the benchmarks need.
install-release: $(PY)
	$(PIP_INSTALL) ".[otel,demo]" -Cbuild-dir=$(BUILD_ROOT)/release

test: install-dev
	$(SANITIZER_ENV) $(PY) -m pytest $(PYTEST_ARGS)

demo: install-release
	$(PY) -m tavrix_observe.demo

bench: install-release
	$(PY) benchmarks/run.py

# The .pyi stubs of the native modules, checked against the runtime.
STUB_MODULES := tavrix_observe.cost tavrix_observe.instrumentors._autochoice tavrix_observe.instrumentors._guard tavrix_observe.tracing.spanbridge
stubtest: install-dev
	cd $(VENV) && bin/python -m mypy.stubtest $(STUB_MODULES)

clean:
	rm -rf build .venv .venv-* *.egg-info
