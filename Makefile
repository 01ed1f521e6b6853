# velmora: `make demo` and `make test` set up everything they need first.
SHELL := /bin/bash
.DEFAULT_GOAL := test

VENV    := .venv
PY      := $(VENV)/bin/python
BUILD   := build/release
JOBS    ?= 2
APT_PKGS := cmake ninja-build g++ libssl-dev rapidjson-dev libgtest-dev
export PYTHONPATH := $(CURDIR)/$(BUILD)/python

.PHONY: demo test build deps venv bench clean wheel-check cpp-test py-test

# System packages, only those that are missing.
deps:
	@missing=""; for p in $(APT_PKGS); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi

$(VENV)/.stamp: requirements-dev.txt
	python3 -m venv $(VENV)
	$(VENV)/bin/pip install -q --upgrade pip
	$(VENV)/bin/pip install -q -r requirements-dev.txt
	touch $@

venv: $(VENV)/.stamp

build: deps venv
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELMORA_TESTS=ON -DVELMORA_BENCH=ON \
	  -DPython_EXECUTABLE=$(CURDIR)/$(PY) > /dev/null
	cmake --build $(BUILD) -j $(JOBS)

cpp-test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) | tail -n 3

py-test: build
	$(PY) -m pytest -q tests/python

test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS) > ctest.log 2>&1; rc=$$?; \
	  if [ $$rc -ne 0 ]; then cat ctest.log; exit $$rc; fi
	@$(PY) -m pytest -q -p no:cacheprovider tests/python 2>&1 | tee $(BUILD)/pytest.log; \
	  exit $${PIPESTATUS[0]}
	@echo "== C++ unit tests (CTest) =="; grep -E 'tests passed|tests failed' $(BUILD)/ctest.log
	@echo "== Python tests (pytest) =="; tail -n 1 $(BUILD)/pytest.log

demo: build
	@for f in examples/demo_*.py; do echo "== $$f"; $(PY) $$f || exit 1; done

bench: build
	VELMORA_BUILD=$(BUILD) $(PY) bench/run.py

clean:
	rm -rf build
