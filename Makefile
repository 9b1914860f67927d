# make run: install what is missing, build, start the server on stdio.
# make test: the same set-up, then the whole test suite.
BUILD ?= build
CMAKE_FLAGS ?=
# WERROR=ON turns compiler warnings into errors, as CI builds do.
WERROR ?= OFF
JOBS ?= $(shell nproc)

.PHONY: deps deps-checks build run test sanitize bench tidy clean

deps:
	@scripts/install-deps

deps-checks:
	@scripts/install-deps checks

build: deps
	cmake -S . -B $(BUILD) -DVELTRUN_WERROR=$(WERROR) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

# Standard output belongs to the protocol: every set-up message goes to
# standard error.
run:
	@scripts/install-deps >&2
	@cmake -S . -B $(BUILD) -DVELTRUN_WERROR=$(WERROR) $(CMAKE_FLAGS) >&2
	@cmake --build $(BUILD) -j $(JOBS) >&2
	@exec $(BUILD)/veltrun-mcp

test: deps
	cd tests/mcp-client && npm ci --no-audit --no-fund
	cmake -S . -B $(BUILD) -DVELTRUN_WERROR=$(WERROR) $(CMAKE_FLAGS)
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
