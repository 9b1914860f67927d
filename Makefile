# make run: install what is missing, build the server, start it on stdio.
# make test: the same set-up, then the whole test suite.
BUILD ?= build
CMAKE_FLAGS ?=
# WERROR=ON turns compiler warnings into errors, as CI builds do.
WERROR ?= OFF
JOBS ?= $(shell nproc)
PREFIX ?= /usr/local

.PHONY: deps deps-checks deps-once build build-server run install test sanitize bench tidy clean

# A new build directory gets Ninja when it is installed (unless
# CMAKE_GENERATOR names another): it builds the server in half the time and
# finds it up to date in a tenth of a second.
GENERATOR = $(if $(wildcard $(BUILD)/CMakeCache.txt)$(CMAKE_GENERATOR),,$(if $(shell command -v ninja),-G Ninja))
CONFIGURE = $(strip cmake -S . -B $(BUILD) $(GENERATOR) -DVELTRUN_WERROR=$(WERROR) $(CMAKE_FLAGS))
# Non-empty when build-server and run must install and configure: there is
# no generated build yet (a failed configure leaves a cache), or CMAKE_FLAGS
# asks for a change. Both would cost over a second at every start.
SET_UP = $(if $(wildcard $(BUILD)/build.ninja $(BUILD)/Makefile),$(strip $(CMAKE_FLAGS)),yes)

deps:
	@scripts/install-deps

deps-checks:
	@scripts/install-deps checks

deps-once:
	@$(if $(SET_UP),scripts/install-deps >&2)

build: deps
	$(CONFIGURE)
	cmake --build $(BUILD) -j $(JOBS)

# The server alone, without the tests and benchmarks.
build-server: deps-once
	$(if $(SET_UP),$(CONFIGURE))
	cmake --build $(BUILD) -j $(JOBS) --target veltrun-mcp

# Standard output belongs to the protocol: every set-up message goes to
# standard error.
run: deps-once
	@$(if $(SET_UP),$(CONFIGURE) >&2)
	@cmake --build $(BUILD) -j $(JOBS) --target veltrun-mcp >&2
	@exec $(BUILD)/veltrun-mcp

# Only the server goes to $(PREFIX)/bin.
install: build-server
	cmake --install $(BUILD) --prefix $(PREFIX)

test: deps
	cd tests/mcp-client && npm ci --no-audit --no-fund
	$(CONFIGURE)
	cmake --build $(BUILD) -j $(JOBS)
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

sanitize:
	$(MAKE) test BUILD=build-sanitize CMAKE_FLAGS="-DVELTRUN_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug"

# Benchmarks on an optimised build; figures go to standard output.
bench: deps
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release
	cmake --build build-bench -j $(JOBS) --target veltrun_bench
	build-bench/veltrun_bench

# The whole process against a trivial floor program (start-up, round trips,
# peak memory, the loader's share), on the same optimised build.
.PHONY: bench-process
bench-process: deps
	scripts/bench-process

# The tests that start the real binary, each child under valgrind memcheck
# (in build-valgrind); fails on any memcheck error or definite leak.
.PHONY: valgrind
valgrind: deps-checks
	scripts/valgrind-tests

# clang-tidy with the checks of .clang-tidy; any finding fails.
tidy: deps-checks
	scripts/tidy

# Each libFuzzer target of fuzz/ for FUZZ_SECONDS (default 30) in build-fuzz;
# fails on any finding.
.PHONY: fuzz
fuzz: deps-checks
	scripts/fuzz

clean:
	rm -rf build build-sanitize build-bench build-valgrind build-fuzz build-tidy build-perf
