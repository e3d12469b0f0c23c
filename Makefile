# The two commands of the README: `make test` and `make demo`.
BUILD ?= build
JOBS ?= $(shell nproc)

PREFIX ?= /usr/local

.PHONY: all deps configure build test install clean sanitize fuzz-build fuzz-smoke fuzz

all: build

deps:
	bash scripts/install-deps.sh

configure: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: configure
	cmake --build $(BUILD) -j$(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)
	$(MAKE) sanitize fuzz-smoke

# Hardening: the whole suite again under AddressSanitizer and
# UndefinedBehaviorSanitizer, and the fuzz targets (clang, libFuzzer).
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 120

sanitize: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DZELVORN_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j$(JOBS)
	cd $(ASAN_BUILD) && ctest --output-on-failure -j$(JOBS)

fuzz-build: deps
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELVORN_BUILD_TESTS=OFF \
		-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DZELVORN_FUZZ=ON
	cmake --build $(FUZZ_BUILD) -j$(JOBS)

# A few seconds per target, from the committed seeds.
fuzz-smoke: fuzz-build
	cd $(FUZZ_BUILD)/fuzz && ctest --output-on-failure -j$(JOBS)

# Every target for FUZZ_SECONDS, two at a time.
fuzz: fuzz-build
	bash scripts/run-fuzz.sh $(FUZZ_BUILD)/fuzz $(FUZZ_SECONDS)

# Library, header, udev rules, pkg-config file and CMake package config;
# DESTDIR is honoured for staging.
install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
