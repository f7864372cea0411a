# The newcomer's entry points. Each target installs what is missing first.
.PHONY: deps build test demo clean

deps:
	@scripts/install-deps.sh

build: deps
	cmake --preset default
	cmake --build --preset default

test: build
	ctest --preset default

# Starts the echo example exit, sends it commands with kavi, shows the replies, stops it.
demo:
	@scripts/demo.sh

clean:
	rm -rf build build-asan build-tsan
