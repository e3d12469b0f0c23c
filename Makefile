# The commands of the README: `make test`, `make demo` and `make bench`.
BUILD ?= build
# The Windows build, cross-compiled with mingw-w64; its tests run under wine.
BUILD_WIN ?= build-win
JOBS ?= $(shell nproc)

PREFIX ?= /usr/local

.PHONY: all deps configure build test install bench clean

all: build

deps:
	bash scripts/install-deps.sh

configure: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: configure
	cmake --build $(BUILD) -j$(JOBS)
	cmake -S . -B $(BUILD_WIN) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
	cmake --build $(BUILD_WIN) -j$(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)
	cd $(BUILD_WIN) && ctest --output-on-failure -j$(JOBS)

# Library, header, udev rules, pkg-config file and CMake package config;
# DESTDIR is honoured for staging.
install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

# Benchmarks: installs their own extra packages, builds, runs everything and
# prints the table (results in $(BUILD)/bench-results).
bench:
	bash scripts/install-deps.sh scripts/packages/optional/bench.txt
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j$(JOBS)
	bash bench/run.sh $(BUILD)

clean:
	rm -rf $(BUILD) $(BUILD_WIN)
