# velmora: `make demo` and `make test` set up everything they need first.
SHELL := /bin/bash
.DEFAULT_GOAL := test

VENV    := .venv
PY      := $(VENV)/bin/python
JOBS    ?= 2
# IPSEC_MB=OFF builds AES-GCM on libcrypto alone, in a build tree of its own:
# `make test IPSEC_MB=OFF` runs every test against that backend.
IPSEC_MB ?= ON
# The oldest CPython the module loads on (the limited API it is built for):
# 3.9, every interpreter; 3.10, where the encoder reads a str's UTF-8 in
# place. `make test ABI3_FLOOR=3.10` builds and tests that one, in a build
# tree of its own.
ABI3_FLOOR ?= 3.9
BUILD   := build/release$(if $(filter OFF,$(IPSEC_MB)),-openssl)$(if $(filter-out 3.9,$(ABI3_FLOOR)),-abi3-$(ABI3_FLOOR))
# Debian ships the IPsec library for x86-64 only; elsewhere GCM runs on libcrypto.
# The module's build needs RUNTIME_APT_PKGS; the C++ tests add GoogleTest.
RUNTIME_APT_PKGS := cmake ninja-build g++ libssl-dev rapidjson-dev zlib1g-dev \
  $(if $(filter x86_64,$(shell uname -m)),libipsec-mb-dev)
APT_PKGS := $(RUNTIME_APT_PKGS) libgtest-dev
export PYTHONPATH := $(CURDIR)/$(BUILD)/python

.PHONY: demo test quick build module runtime-deps deps venv bench bench-venv clean cpp-test py-test docs
.PHONY: check-deps sanitize valgrind fuzz soak lint dist wheel test-wheels test-cross test-libcxx test-pythons tsan

# System packages, only those that are missing: $(call apt_install,<packages>).
define apt_install
	@missing=""; for p in $(1); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi
endef

runtime-deps:
	$(call apt_install,$(RUNTIME_APT_PKGS))

deps:
	$(call apt_install,$(APT_PKGS))

# The bare venv is all the module and the demos need; the test, docs and
# release tools of requirements-dev.txt come with `make build`.
$(VENV)/.base:
	python3 -m venv $(VENV)
	touch $@

$(VENV)/.stamp: requirements-dev.txt $(VENV)/.base
	$(VENV)/bin/pip install -q --upgrade pip
	$(VENV)/bin/pip install -q -r requirements-dev.txt
	touch $@

venv: $(VENV)/.stamp

# Configures and builds the tree, C++ tests and benchmarks $(1) (ON or OFF).
# After the build, a path file in the venv names the package just built, so that
# `.venv/bin/python -c "import velmora"` works with no PYTHONPATH (PYTHONPATH still comes first).
define build_tree
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELMORA_TESTS=$(1) -DVELMORA_BENCH=$(1) \
	  -DVELMORA_IPSEC_MB=$(IPSEC_MB) -DVELMORA_ABI3_FLOOR=$(ABI3_FLOOR) -DPython_EXECUTABLE=$(CURDIR)/$(PY) > /dev/null
	cmake --build $(BUILD) -j $(JOBS)
	@$(PY) -c 'import sys, sysconfig; open(sysconfig.get_paths()["purelib"] + "/velmora-build.pth", "w").write(sys.argv[1] + "\n")' \
	  $(CURDIR)/$(BUILD)/python && cd / && env -u PYTHONPATH $(CURDIR)/$(PY) -c 'import velmora.ext'
endef

build: deps venv
	$(call build_tree,ON)

# The module alone, for the demos: no GoogleTest, no PyPI package.
module: runtime-deps $(VENV)/.base
	$(call build_tree,OFF)

cpp-test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) | tail -n 3; exit $${PIPESTATUS[0]}

py-test: build
	$(PY) -m pytest -q tests/python

test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS) > ctest.log 2>&1; rc=$$?; \
	  if [ $$rc -ne 0 ]; then cat ctest.log; exit $$rc; fi
	@$(PY) -m pytest -q -p no:cacheprovider tests/python 2>&1 | tee $(BUILD)/pytest.log; \
	  exit $${PIPESTATUS[0]}
	@rm -f $(BUILD)/smoke.log; for py in $(INTERPRETERS); do \
	  $$py -c 'import sys; sys.exit(sys.version_info < tuple(map(int, "$(ABI3_FLOOR)".split("."))))' || continue; \
	  SOAK_CALLS=1000 $$py -s tests/soak/soak.py >> $(BUILD)/smoke.log 2>&1 || { cat $(BUILD)/smoke.log; exit 1; }; done
	@echo "== C++ unit tests (CTest) =="; grep -E 'tests passed|tests failed' $(BUILD)/ctest.log
	@echo "== Python tests (pytest) =="; tail -n 1 $(BUILD)/pytest.log
	@echo "== The module on every CPython >= 3.9 found =="; cat $(BUILD)/smoke.log

# The fast part, for a change in progress: C++ and Python tests without the
# slow ones (the 1 GiB AES-GCM round trip, the wheel build, mypy), and no
# other interpreters. `make test` runs everything.
SLOW_CPP_TESTS := AesGcm.OpenSslPastOnePiece
quick: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS) -E '$(SLOW_CPP_TESTS)' > ctest.log 2>&1; rc=$$?; \
	  if [ $$rc -ne 0 ]; then cat ctest.log; exit $$rc; fi; grep -E 'tests passed|tests failed' ctest.log
	$(PY) -m pytest -q -p no:cacheprovider -m 'not slow' tests/python

demo: module
	@for f in examples/demo_*.py; do echo "== $$f"; $(PY) $$f || exit 1; done

# The documentation, from docs/ and the package's docstrings: any warning fails,
# and every cross-reference must resolve (nitpicky).
$(VENV)/.docs: requirements-docs.txt $(VENV)/.base
	$(VENV)/bin/pip install -q -r requirements-docs.txt
	touch $@

docs: build $(VENV)/.docs
	$(PY) -m sphinx -W --keep-going -n -q -b html docs build/docs
	@echo "docs: build/docs/index.html"

# Benchmarks run on the machine's optimised CPython (Debian's /usr/bin/python3),
# in a venv of their own with the pins of requirements-bench.txt; the abi3
# module of the build tree loads there through PYTHONPATH. Another interpreter:
# `make bench BENCH_PY=.venv/bin/python` (pyenv's, the test venv).
BENCH_BASE  ?= /usr/bin/python3
BENCH_VENV  := .venv-bench
BENCH_PY    ?= $(BENCH_VENV)/bin/python

$(BENCH_VENV)/.stamp: requirements-bench.txt
	$(call apt_install,python3-venv)
	$(BENCH_BASE) -m venv $(BENCH_VENV)
	$(BENCH_VENV)/bin/pip install -q --upgrade pip
	$(BENCH_VENV)/bin/pip install -q -r requirements-bench.txt
	touch $@

bench-venv: $(BENCH_VENV)/.stamp

# The module timed is the one pip installs on these interpreters: the wheel
# of the newest floor (BENCH_FLOOR), built in a tree of its own; the C++
# benchmarks come from the build tree. The codec table also runs on the test
# venv's interpreter (pyenv's, built without PGO), so that the two can be
# compared from one run.
BENCH_FLOOR ?= 3.10
BENCH_EXT   := build/bench-abi3-$(BENCH_FLOOR)
BENCH_ENV   := PYTHONPATH=$(CURDIR)/$(BENCH_EXT)/python VELMORA_BUILD=$(BUILD)
bench: build $(if $(filter $(BENCH_VENV)/bin/python,$(BENCH_PY)),bench-venv)
	cmake -S . -B $(BENCH_EXT) -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELMORA_IPSEC_MB=$(IPSEC_MB) \
	  -DVELMORA_ABI3_FLOOR=$(BENCH_FLOOR) -DPython_EXECUTABLE=$(CURDIR)/$(PY) > /dev/null
	cmake --build $(BENCH_EXT) -j $(JOBS) --target ext velmora_package > /dev/null
	@echo "module: the abi3 build for CPython $(BENCH_FLOOR) and later ($(BENCH_EXT))"
	$(BENCH_ENV) $(BENCH_PY) bench/run.py
	@if [ "$(BENCH_PY)" != "$(PY)" ]; then echo; $(BENCH_ENV) $(PY) bench/run.py codec; fi
	@# Two threads against one on the free-threaded CPython of make test-pythons, with the module installed there.
	@ft=$(CURDIR)/build/pythons/free-threaded-venv/bin/python; if [ -x $$ft ]; then \
	  echo; echo "free-threaded CPython $$($$ft -c 'import platform; print(platform.python_version())')" \
	    "(make test-pythons' venv, its own module):"; \
	  cd bench && env -u PYTHONPATH PYTHON_GIL=0 VELMORA_BUILD=$(CURDIR)/$(BUILD) $$ft -s bench_threads.py; \
	else echo; echo "bench_threads on a free-threaded CPython: run make test-pythons first"; fi

clean:
	rm -rf build dist

# ---- Release: the sdist and one manylinux abi3 wheel per floor -----------
# The interpreters the module is tried on: pyenv's CPythons >= 3.9, else the venv's.
PYTHONS ?= $(shell tools/release/pythons.sh)
INTERPRETERS = $(or $(strip $(PYTHONS)),$(CURDIR)/$(PY))
WHEEL_VENVS := build/wheel-venvs
# One wheel per floor (ABI3_FLOOR above): pip installs the newest that the
# interpreter meets, so 3.10 and later get the faster encoder.
ABI3_FLOORS ?= 3.9 3.10

# The wheels are built from the sdist (so the sdist is proven complete) by
# zig's compiler for glibc 2.28, with a static libcrypto built from Debian's
# OpenSSL source (cached in build/openssl); auditwheel copies in libipsec-mb
# where the build links it and tags each wheel. ARCH=aarch64 cross-builds that
# machine's wheels (EVP backend). `make dist IPSEC_MB=OFF`: AES-GCM on
# libcrypto alone.
# Beside them, the musllinux abi3 wheels (zig for musl, libcrypto and zlib
# linked in), and the wheel of the free-threaded CPython that make
# test-pythons built (ABI3_FLOOR=ft: that build has no limited API).
ARCH ?= $(shell uname -m)
LIBC ?= gnu
# The Debian sources of what the wheels link in, pinned, so that a wheel is
# the same whatever source entries the machine has (tools/release/debsrc.sh):
# Debian 12's point-release versions. Move a pin to ship a library's fix.
OPENSSL_DEB ?= 3.0.20-1~deb12u2
ZLIB_DEB    ?= 1:1.2.13.dfsg-1
export VELMORA_OPENSSL_DEB := $(OPENSSL_DEB)
export VELMORA_ZLIB_DEB := $(ZLIB_DEB)
# The musl that make test-wheels LIBC=musl's CPython runs on: the first that
# loads what a current Alpine builds (tools/musl/libc.sh says why).
MUSL_DEB    ?= 1.2.5-3
export VELMORA_MUSL_DEB := $(MUSL_DEB)
FT_PY := build/pythons/free-threaded-venv/bin/python
dist: deps venv
	rm -rf dist build/dist
	$(call apt_install,musl-tools)
	@for f in $(ABI3_FLOORS); do $(MAKE) --no-print-directory wheel ABI3_FLOOR=$$f || exit 1; done
	@for f in $(ABI3_FLOORS); do $(MAKE) --no-print-directory wheel ABI3_FLOOR=$$f LIBC=musl || exit 1; done
	@if [ -x $(FT_PY) ]; then $(MAKE) --no-print-directory wheel ABI3_FLOOR=ft; \
	  else echo "no free-threaded wheel: make test-pythons builds its CPython"; fi
	@ls -l dist

# The wheel of ABI3_FLOOR for ARCH and LIBC, added to dist/.
wheel: deps venv
	@tools/release/dist.sh $(ARCH) $(IPSEC_MB) $(ABI3_FLOOR) $(LIBC)

# Each wheel, installed into a fresh venv of each interpreter its tag claims
# (cp310: 3.10 and later) with the test suite's needs (pyproject's wheel-test
# group), then the suite against it; and on each interpreter, the wheel pip
# picks from dist/ must be the one of the newest floor it meets.
# ARCH=aarch64: into a venv of the emulated Debian CPython of `make test-cross`.
test-wheels: dist
ifeq ($(LIBC),musl)
	@tools/musl/test_wheel.sh $(ARCH)
else ifeq ($(ARCH),$(shell uname -m))
	@tools/release/test_wheels.sh $(ARCH) $(WHEEL_VENVS) $(INTERPRETERS)
else
	@tools/cross/test_wheel.sh $(ARCH)
endif

# ---- The newest CPython, default and free-threaded ---------------------------
# `make test-pythons`: CPython built from Debian's own source package (the
# newest series its unstable suite serves; the source entry is a file of its
# own in /etc/apt/sources.list.d), in its default and its free-threaded build,
# cached in build/pythons; the project built into a venv of each and the whole
# Python suite run there. Not part of `make test`: the first run builds both
# interpreters. Run it after a change to shared state or to the build.
PYTHONS_APT_PKGS := dpkg-dev libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev
test-pythons: deps venv
	$(call apt_install,$(PYTHONS_APT_PKGS))
	@tools/pythons/test.sh

# ---- Other processors, under emulation -------------------------------------
# `make test-cross ARCH=aarch64|s390x`: cross-built, run under qemu-user (s390x
# is big-endian). Not part of `make test`: it installs a cross compiler.
test-cross: deps venv
	@tools/cross/cross.sh $(ARCH)

# Every test with clang and libc++ (the macOS toolchain's C++ library).
test-libcxx: deps venv
	@tools/libcxx/libcxx.sh

# ---- Hardening: sanitizers, valgrind, fuzzing, soak, lint -----------------
# Not part of `make test`; their tools live in a separate package list.
CHECK_APT_PKGS := clang libclang-rt-14-dev libfuzzer-14-dev valgrind cppcheck clang-tidy
SAN_BUILD  := build/sanitize
VG_BUILD   := build/valgrind
FUZZ_BUILD := build/fuzz
FUZZ_SECONDS ?= 60
FUZZ_TARGETS := fuzz_schema fuzz_codec fuzz_envelope fuzz_unpack fuzz_transport fuzz_session fuzz_handshake
CMAKE_COMMON := -G Ninja -DPython_EXECUTABLE=$(CURDIR)/$(PY) -DVELMORA_ABI3_FLOOR=$(ABI3_FLOOR)

check-deps: deps
	$(call apt_install,$(CHECK_APT_PKGS))

# ASan + UBSan (gcc). The interpreter is not instrumented, so the ASan runtime
# is preloaded; PYTHONMALLOC=malloc lets ASan see every Python object. The
# packaging tests are left out: they build a wheel in pip subprocesses, which
# tests packaging, not memory, and takes minutes under the preloaded runtime.
SAN_ENV := LD_PRELOAD=$$(gcc -print-file-name=libasan.so) PYTHONMALLOC=malloc \
  ASAN_OPTIONS=detect_leaks=1:fast_unwind_on_malloc=0:malloc_context_size=12:detect_stack_use_after_return=1 \
  LSAN_OPTIONS=suppressions=$(CURDIR)/tools/sanitize/lsan.supp:print_suppressions=0 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  PYTHONPATH=$(CURDIR)/$(SAN_BUILD)/python VELMORA_SANITIZED=1
sanitize: check-deps venv
	CC=gcc CXX=g++ cmake -S . -B $(SAN_BUILD) $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DVELMORA_SANITIZE=ON -DVELMORA_TESTS=ON > /dev/null
	cmake --build $(SAN_BUILD) -j $(JOBS)
	cd $(SAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j $(JOBS) | tail -n 3; exit $${PIPESTATUS[0]}
	$(SAN_ENV) $(PY) -m pytest -q -p no:cacheprovider --ignore=tests/python/test_packaging.py tests/python

# The C++ core's tests under ThreadSanitizer (gcc): any access from two
# threads that no lock or atomic orders is a report, and fails the run.
# The 1 GiB AES-GCM round trip is left out: one thread, and minutes there.
TSAN_BUILD := build/tsan
tsan: deps venv
	CC=gcc CXX=g++ cmake -S . -B $(TSAN_BUILD) $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DVELMORA_TSAN=ON -DVELMORA_TESTS=ON > /dev/null
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target velmora_tests
	cd $(TSAN_BUILD) && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ctest --output-on-failure -j $(JOBS) -E '$(SLOW_CPP_TESTS)' | tail -n 3; exit $${PIPESTATUS[0]}

# Memcheck on an -O1 -g build, over a subset that calls all sixteen functions
# and their failure paths (VG_TESTS); hypothesis runs fewer examples there
# (VELMORA_VALGRIND), since memcheck is some 50 times slower.
VG_TESTS ?= $(wildcard $(addprefix tests/python/test_,module.py bytes.py schema.py ige.py gcm.py \
  serialize*.py deserialize*.py codec*.py stress.py message.py session.py transport.py crypto.py \
  handshake.py))
VG_OPTS := --tool=memcheck --error-exitcode=1 --leak-check=full --show-leak-kinds=definite \
  --errors-for-leak-kinds=definite --suppressions=$(CURDIR)/tools/sanitize/valgrind.supp --quiet
valgrind: check-deps venv
	cmake -S . -B $(VG_BUILD) $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" > /dev/null
	cmake --build $(VG_BUILD) -j $(JOBS)
	PYTHONMALLOC=malloc PYTHONPATH=$(CURDIR)/$(VG_BUILD)/python VELMORA_VALGRIND=1 \
	  valgrind $(VG_OPTS) $(PY) -m pytest -q -p no:cacheprovider $(VG_TESTS)

# libFuzzer with ASan + UBSan (clang); any crash, leak or report fails.
fuzz: check-deps venv
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DVELMORA_FUZZ=ON -DVELMORA_SANITIZE=ON > /dev/null
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target $(FUZZ_TARGETS)
	@for t in $(FUZZ_TARGETS); do \
	  mkdir -p $(FUZZ_BUILD)/corpus/$$t; \
	  echo "== $$t ($(FUZZ_SECONDS) s)"; \
	  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	    $(FUZZ_BUILD)/fuzz/$$t -max_total_time=$(FUZZ_SECONDS) -rss_limit_mb=2048 -print_final_stats=1 \
	    -artifact_prefix=$(FUZZ_BUILD)/$$t- $(FUZZ_BUILD)/corpus/$$t fuzz/corpus/$$t \
	    > $(FUZZ_BUILD)/$$t.log 2>&1 || { tail -n 60 $(FUZZ_BUILD)/$$t.log; exit 1; }; \
	  grep -E '^#[0-9]+[[:space:]]+DONE' $(FUZZ_BUILD)/$$t.log | tail -n 1; \
	done

soak: build
	$(PY) tests/soak/soak.py

# clang-tidy over src/ with the compile commands of a configured (not built)
# clang tree, then cppcheck over src/. Zero findings, or a justified NOLINT.
LINT_BUILD := build/lint
lint: check-deps venv
	CC=clang CXX=clang++ cmake -S . -B $(LINT_BUILD) $(CMAKE_COMMON) -DCMAKE_EXPORT_COMPILE_COMMANDS=ON > /dev/null
	cmake --build $(LINT_BUILD) --target velmora_core -j $(JOBS) > /dev/null
	clang-tidy -p $(LINT_BUILD) --quiet $$(find src -name '*.cpp' | sort) > $(LINT_BUILD)/clang-tidy.log 2>&1; \
	  if grep -qE '(warning|error):' $(LINT_BUILD)/clang-tidy.log; then cat $(LINT_BUILD)/clang-tidy.log; exit 1; fi
	@echo "clang-tidy: no findings"
	cppcheck --std=c++20 --language=c++ --enable=warning,performance,portability --inline-suppr \
	  --error-exitcode=1 --quiet -I src --suppress=missingIncludeSystem src
