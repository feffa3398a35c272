# Dismora: `make test` and `make demo` set up everything on a fresh Debian 12 machine.
SHELL := /bin/bash
NATIVE := build/native
WINDOWS := build/windows
JOBS ?= $(shell nproc)
# Debian's interpreter, where python3-pytest installs pytest.
PYTHON ?= /usr/bin/python3

.PHONY: all deps build build-native build-windows test test-native test-e2e demo bench clean

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
	@$(MAKE) --no-print-directory test-native
	@$(MAKE) --no-print-directory test-e2e

test-native:
	@cd $(NATIVE) && ctest --output-on-failure -j $(JOBS)

test-e2e:
	@$(PYTHON) -m pytest -q tests/e2e

demo: deps build-windows
	@$(PYTHON) tools/demo.py

clean:
	rm -rf build
