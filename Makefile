# Dismora: `make test` and `make demo` set up everything on a fresh Debian 12 machine.
SHELL := /bin/bash
NATIVE := build/native
WINDOWS := build/windows
JOBS ?= $(shell nproc)
# Debian's interpreter, where python3-pytest installs pytest.
PYTHON ?= /usr/bin/python3

.PHONY: all deps build build-native build-windows test test-native test-e2e demo release bench clean fuzz

all: build

deps:
	@tools/install-deps.sh

build: build-native build-windows

build-native:
	@cmake -S . -B $(NATIVE) -DCMAKE_BUILD_TYPE=Debug >/dev/null
	@cmake --build $(NATIVE) -j $(JOBS)

build-windows:
	@cmake -S . -B $(WINDOWS) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=MinSizeRel >/dev/null
	@cmake --build $(WINDOWS) -j $(JOBS)
	@echo "dismora.exe: $$(stat -c %s $(WINDOWS)/dismora.exe) bytes"

test: deps build
	@tools/check-exe.sh
	@tools/check-layers.sh
	@tools/lint.sh
	@$(MAKE) --no-print-directory test-native
	@$(MAKE) --no-print-directory test-e2e

test-native:
	@cd $(NATIVE) && ctest --output-on-failure -j $(JOBS)
	@cat $(NATIVE)/fault-sweep-summary.txt

test-e2e:
	@$(PYTHON) -m pytest -q tests/e2e

demo: deps build-windows
	@$(PYTHON) tools/demo.py

# A clean build of dismora.exe and dismora-check.exe into dist/ with SHA256SUMS; signed
# when SIGN_CERT and SIGN_KEY (or SIGN_PKCS12) are given. See tools/release.sh.
release: deps
	@JOBS=$(JOBS) tools/release.sh

# Not part of `make test`: builds the product and the benchmarks, runs them, and writes
# build/bench/report.md with a chart (several minutes).
bench: deps
	@bench/install-deps.sh
	@$(MAKE) --no-print-directory build-windows
	@PYTHON=$(PYTHON) bench/run.sh

# Not part of `make test`: the fuzz target under libFuzzer with ASan and UBSan, for
# FUZZ_SECONDS seconds (default 300) from the kept corpus; fails on any finding.
# FUZZ_TARGET=reader fuzzes the log reader and the header alone, many times faster.
fuzz:
	@fuzz/install-deps.sh
	@cmake -S fuzz -B build/fuzz -DCMAKE_CXX_COMPILER=clang++ >/dev/null
	@cmake --build build/fuzz -j $(JOBS)
	@fuzz/run.sh $(or $(FUZZ_SECONDS),300) $(if $(filter reader,$(FUZZ_TARGET)),--reader)

clean:
	rm -rf build
