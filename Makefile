# The newcomer's entry points. Each target installs what is missing first.
.PHONY: deps build test bench demo clean

deps:
	@scripts/install-deps.sh test

build: deps
	cmake --preset default
	cmake --build --preset default

test: build
	ctest --preset default

# Latency and throughput of the exit library against a raw baseline measured in the same run:
# one table, each figure with its ratio to the baseline and its target, and other messaging
# systems beside it (installed first; a row says so when one is missing).
bench:
	@scripts/install-deps.sh bench
	cmake --preset default
	cmake --build --preset default --target bench_all cross_node_bench
	build/bin/bench_all
	build/bin/cross_node_bench

# Installs only what building needs, builds without tests, starts the example exits, drives
# them with kavi, stops them.
demo:
	@scripts/demo.sh

clean:
	rm -rf build build-asan build-tsan
