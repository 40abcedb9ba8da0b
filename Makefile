# Developer and CI entry points. `make test` runs everything from a fresh clone; `make demo` trains
# the built-in demo corpus and prints neighbours at every level.
PYTHON ?= python3
VENV ?= .venv
PY := $(VENV)/bin/python
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_GEN := $(shell command -v ninja >/dev/null 2>&1 && echo "-G Ninja")
SOURCES := $(shell find src python -type f 2>/dev/null) CMakeLists.txt pyproject.toml

.PHONY: test demo bench bench-cpp install gtest cpp-test asan tsan py-test py-asan py-tsan clean

# The ThreadSanitizer run is part of `make test`, so no caller (CI included) can leave it out.
test: install cpp-test asan tsan py-test

demo: install
	$(PY) -m tarnivel demo

bench: install
	$(PY) bench/run.py

# The C++ benchmark programs (build/bench-cpp/bench/train, .../sentences); bench/README.md says how to run them.
bench-cpp:
	cmake -S . -B build/bench-cpp -G Ninja -DTARNIVEL_BUILD_BENCH=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build build/bench-cpp -j2

# A virtual environment with the package (abi3 wheel built by scikit-build-core) and test tools.
install: $(VENV)/.installed
$(VENV)/.installed: $(SOURCES)
	@echo "installing tarnivel into $(VENV): compiling the C++ extension takes about 90 s the first time, less after a change"
	test -x $(PY) || $(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q ".[test]"
	touch $@

# GoogleTest comes from Debian's libgtest-dev; installed here when missing and we are root.
gtest:
	@if [ ! -f /usr/include/gtest/gtest.h ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    (apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev) >/dev/null; \
	  else \
	    echo "GoogleTest is missing: install libgtest-dev (apt-get install libgtest-dev)"; exit 1; \
	  fi; \
	fi

define cpp_suite
	cmake -S . -B build/$(1) $(CMAKE_GEN) -DTARNIVEL_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=$(2) -DTARNIVEL_SANITIZE=$(3) >/dev/null
	cmake --build build/$(1) -j $(JOBS)
	$(4) build/$(1)/core_tests $(5)
endef

cpp-test: gtest
	$(call cpp_suite,cpp,Release,,,)

# The core under AddressSanitizer + UndefinedBehaviorSanitizer.
asan: gtest
	$(call cpp_suite,asan,Debug,address$(COMMA)undefined,ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1,)

# The threaded parts of the core under ThreadSanitizer, in both locking modes. The races of training
# without row locks are deliberate: tests/tsan.supp says why and suppresses exactly those.
tsan: gtest
	$(call cpp_suite,tsan,Debug,thread,TSAN_OPTIONS="halt_on_error=1 suppressions=$(CURDIR)/tests/tsan.supp",--gtest_filter='*Thread*:*Pool*:*Shared*:*Chunk*:*Driver*')

py-test: install
	$(PY) -m pytest -q tests/python

# The Python tests (all but the slow ones) against the extension built under a sanitizer, in an
# environment of its own; the sanitizer's runtime is preloaded into the interpreter (and into the
# processes the tests start). Not part of `make test`. Left out: the test of a refused 512 GiB
# allocation, which a sanitizer's allocator reports as fatal instead of raising. Under ThreadSanitizer
# the races of training without row locks are suppressed as in `make tsan`, and the threads that a
# process exit deliberately leaves waiting are not reported as leaks.
define py_sanitized
	test -x .venv-$(1)/bin/python || $(PYTHON) -m venv .venv-$(1)
	.venv-$(1)/bin/python -m pip install -q ".[test]" --config-settings=build-dir=build/py-$(1) \
	  --config-settings=cmake.build-type=RelWithDebInfo --config-settings=cmake.define.TARNIVEL_SANITIZE=$(2)
	LD_PRELOAD="$(3)" $(4) .venv-$(1)/bin/python -m pytest -q -p no:cacheprovider tests/python -m "not slow" \
	  --deselect tests/python/test_surface.py::test_oversized_requests_fail_cleanly_and_leave_the_model_usable
endef

py-asan:
	$(call py_sanitized,asan,address$(COMMA)undefined,$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so),ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1)

py-tsan:
	$(call py_sanitized,tsan,thread,$$(gcc -print-file-name=libtsan.so),TSAN_OPTIONS="suppressions=$(CURDIR)/tests/tsan.supp:report_thread_leaks=0")

clean:
	rm -rf build $(VENV) .venv-asan .venv-tsan

COMMA := ,
