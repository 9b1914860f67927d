# make run: install what is missing, build, start the server on stdio.
# make test: the same set-up, then the whole test suite.
BUILD ?= build
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc)

.PHONY: deps build run test sanitize bench clean

deps:
	@scripts/install-deps

build: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

# Standard output belongs to the protocol: every set-up message goes to
# standard error.
run:
	@scripts/install-deps >&2
	@cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >&2
	@cmake --build $(BUILD) -j $(JOBS) >&2
	@exec $(BUILD)/veltrun-mcp

test: deps
	cd tests/mcp-client && npm ci --no-audit --no-fund
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

sanitize:
	$(MAKE) test BUILD=build-sanitize CMAKE_FLAGS="-DVELTRUN_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug"

# Benchmarks on an optimised build; figures go to standard output.
bench: deps
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release
	cmake --build build-bench -j $(JOBS) --target veltrun_bench
	build-bench/veltrun_bench

clean:
	rm -rf build build-sanitize build-bench
