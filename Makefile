# Thin wrapper over CMake for the usual commands.
BUILD ?= build
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc)

# Debian packages needed to build and test.
BUILD_DEPS := cmake make g++ binutils libgtest-dev libcli11-dev nlohmann-json3-dev libfmt-dev

.PHONY: deps configure build test demo clean

deps:
	scripts/install-deps.sh $(BUILD_DEPS)

configure: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure

# sanstat watching a simulated server for five seconds.
demo: build
	scripts/demo.sh $(BUILD)

clean:
	rm -rf $(BUILD)
