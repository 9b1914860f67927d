# make run: install what is missing, build the server, start it on stdio.
# make test: the same set-up, then the whole test suite.
# Each build is a preset of CMakePresets.json, in a directory of its own.
PRESET ?= default
# The preset's directory: build for the default, build-PRESET for the others.
BUILD = $(if $(filter default,$(PRESET)),build,build-$(PRESET))
CMAKE_FLAGS ?=
# WERROR=ON turns compiler warnings into errors, as CI builds do.
WERROR ?= OFF
JOBS ?= $(shell nproc)
PREFIX ?= /usr/local
# The argument of scripts/install-deps: "server" for a build without tests.
DEPS ?=

.PHONY: deps deps-checks deps-once build build-server local run install test sanitize bench tidy clean

# A new build directory gets Ninja when it is installed (unless
# CMAKE_GENERATOR names another): it builds the server in half the time and
# finds it up to date in a tenth of a second.
GENERATOR = $(if $(wildcard $(BUILD)/CMakeCache.txt)$(CMAKE_GENERATOR),,$(if $(shell command -v ninja),-G Ninja))
CONFIGURE = $(strip cmake --preset $(PRESET) $(GENERATOR) -DCMAKE_COMPILE_WARNING_AS_ERROR=$(WERROR) $(CMAKE_FLAGS))
# Non-empty when build-server and run must install and configure: there is
# no generated build yet (a failed configure leaves a cache), or CMAKE_FLAGS
# asks for a change. Both would cost over a second at every start.
SET_UP = $(if $(wildcard $(BUILD)/build.ninja $(BUILD)/Makefile),$(strip $(CMAKE_FLAGS)),yes)

# The test client's packages, installed when they are missing or the lock
# file has changed since, so that a machine once set up runs the tests
# offline. npm's own record of the installed tree is the stamp.
CLIENT = tests/mcp-client
CLIENT_PACKAGES = $(CLIENT)/node_modules/.package-lock.json

deps:
	@scripts/install-deps

deps-checks:
	@scripts/install-deps checks

deps-once:
	@$(if $(SET_UP),scripts/install-deps $(DEPS) >&2)

$(CLIENT_PACKAGES): $(CLIENT)/package-lock.json | deps
	cd $(CLIENT) && npm ci --no-audit --no-fund
	touch $@

build: deps
	$(CONFIGURE)
	cmake --build --preset $(PRESET) -j $(JOBS)

# The server alone, without the tests and benchmarks.
build-server: deps-once
	$(if $(SET_UP),$(CONFIGURE))
	cmake --build --preset $(PRESET) -j $(JOBS) --target veltrun-mcp

# Standard output belongs to the protocol: every set-up message goes to
# standard error.
run: deps-once
	@$(if $(SET_UP),$(CONFIGURE) >&2)
	@cmake --build --preset $(PRESET) -j $(JOBS) --target veltrun-mcp >&2
	@exec $(BUILD)/veltrun-mcp

# The server with the address of scripts/veltrun-standin compiled in
# (http://127.0.0.1:47831/api), in build-local; no tests are configured, so
# none of their packages is needed.
local: PRESET = local
local: DEPS = server
local: build-server

# Only the server goes to $(PREFIX)/bin: a stripped Release build from
# build-release, which never holds the test build.
install: PRESET = release
install: DEPS = server
install: build-server
	cmake --install $(BUILD) --prefix $(PREFIX) --strip

test: deps $(CLIENT_PACKAGES)
	$(CONFIGURE)
	cmake --build --preset $(PRESET) -j $(JOBS)
	ctest --preset $(PRESET) -j $(JOBS)

sanitize:
	$(MAKE) test PRESET=sanitize

# Benchmarks on an optimised build; figures go to standard output.
bench: deps
	cmake --preset bench
	cmake --build --preset bench -j $(JOBS)
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
	rm -rf build build-local build-release build-sanitize build-bench build-valgrind build-fuzz build-tidy
