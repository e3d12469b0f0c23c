# The commands of the README: `make test`, `make demo` and `make bench`.
BUILD ?= build
# The Windows build, cross-compiled with mingw-w64; its tests run under wine.
BUILD_WIN ?= build-win
JOBS ?= $(shell nproc)

PREFIX ?= /usr/local

.PHONY: all deps configure build test demo install uninstall bench clean sanitize fuzz-build fuzz-smoke fuzz dist

all: build

# Each target installs the Debian package lists of scripts/packages/ it needs
# (scripts/install-deps.sh): the tests need every list.
DEMO_DEPS = linux virtual tool
INSTALL_DEPS = linux virtual tool pcsc
FUZZ_DEPS = linux virtual tool pcsc fuzz
BENCH_DEPS = linux virtual tool pcsc optional/bench
DIST_DEPS = linux virtual tool pcsc windows packaging

deps:
	bash scripts/install-deps.sh

# The whole tree, tests and all.
configure: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELVORN_BUILD_TESTS=ON \
		-DZELVORN_BUILD_PCSC=ON -UZELVORN_PCSC_DROPDIR

build: configure
	cmake --build $(BUILD) -j$(JOBS)
	cmake -S . -B $(BUILD_WIN) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
	cmake --build $(BUILD_WIN) -j$(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)
	cd $(BUILD_WIN) && ctest --output-on-failure -j$(JOBS)
	$(MAKE) sanitize fuzz-smoke

# Hardening: the whole suite again under AddressSanitizer and
# UndefinedBehaviorSanitizer, and the fuzz targets (clang, libFuzzer).
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 120

# The sanitizer runtime makes dlopen look for libraries as if it were the
# caller, so the tool's own run path does not reach the virtual library: name
# the folders outright. An uninstrumented Python cannot load an instrumented
# library at all; that example and the Python package's tests (label python)
# run in the plain build only.
ASAN_LIBS = $(abspath $(ASAN_BUILD))/src/platform/linux:$(abspath $(ASAN_BUILD))/virtual/library

sanitize: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DZELVORN_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j$(JOBS)
	cd $(ASAN_BUILD) && LD_LIBRARY_PATH=$(ASAN_LIBS) \
		ctest --output-on-failure -j$(JOBS) -E '^example\.read_card\.py$$' -LE '^(python|pcscd)$$'

fuzz-build:
	bash scripts/install-deps.sh $(FUZZ_DEPS)
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELVORN_BUILD_TESTS=OFF \
		-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DZELVORN_FUZZ=ON
	cmake --build $(FUZZ_BUILD) -j$(JOBS) --target fuzz_targets

# A few seconds per target, from the committed seeds.
fuzz-smoke: fuzz-build
	cd $(FUZZ_BUILD)/fuzz && ctest --output-on-failure -j$(JOBS)

# Every target for FUZZ_SECONDS, two at a time; then the PC/SC target's
# whole corpus, the seeds and what the runs found, under valgrind's memcheck.
fuzz: fuzz-build
	bash scripts/run-fuzz.sh $(FUZZ_BUILD)/fuzz $(FUZZ_SECONDS)
	valgrind --quiet --error-exitcode=1 --track-origins=yes $(FUZZ_BUILD)/fuzz/pcsc_fuzz_memcheck \
		fuzz/corpus/pcsc_fuzz $(FUZZ_BUILD)/fuzz/corpus/pcsc_fuzz

# The tool on the virtual reader with the demo scenario's cards.
ZELVORN_DEMO = $(BUILD)/tool/zelvorn --scenario tool/scenarios/demo.json

# Builds only what it runs, and only for this machine. A fresh $(BUILD) is
# configured without the tests and the PC/SC driver, whose packages the demo
# does not need; make test configures it whole.
DEMO_CMAKE_OPTIONS = -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELVORN_BUILD_TESTS=OFF -DZELVORN_BUILD_PCSC=OFF

demo:
	bash scripts/install-deps.sh $(DEMO_DEPS)
	[ -f $(BUILD)/CMakeCache.txt ] || cmake -S . -B $(BUILD) $(DEMO_CMAKE_OPTIONS)
	cmake --build $(BUILD) -j$(JOBS) --target zelvorn_tool zelvorn-virtual
	@echo; echo "== The readers and the cards in the field"
	$(ZELVORN_DEMO) list
	@echo; echo "== The MIFARE Classic card: the transport key opens all sectors but one"
	$(ZELVORN_DEMO) mifare --key FFFFFFFFFFFF --key A0A1A2A3A4A5 dump
	@echo; echo "== No key given: the bundled default keys open sector 1 too; the keys found to a file"
	$(ZELVORN_DEMO) mifare dump --first 1 --last 1 --keys-out $(BUILD)/demo-keys.json
	@echo; echo "== Sector 1's access bits in words"
	$(BUILD)/tool/zelvorn mifare access 5D278A
	@echo; echo "== The card to a file, and restored onto a blank card in a second virtual reader"
	$(ZELVORN_DEMO) mifare -k FFFFFFFFFFFF -k A0A1A2A3A4A5 -k B0B1B2B3B4B5 dump --output $(BUILD)/demo-card.json > /dev/null
	rm -f $(BUILD)/demo-restored.state
	$(BUILD)/tool/zelvorn --scenario tool/scenarios/blank.json --state $(BUILD)/demo-restored.state mifare restore $(BUILD)/demo-card.json
	$(BUILD)/tool/zelvorn --scenario tool/scenarios/blank.json --state $(BUILD)/demo-restored.state mifare -k A0A1A2A3A4A5 read 4
	@echo; echo "== APDUs to the processor card (tool/scenarios/demo.apdu)"
	$(ZELVORN_DEMO) apdu --script tool/scenarios/demo.apdu
	@echo; echo "== The NDEF message of the processor card, a Type 4 tag"
	$(ZELVORN_DEMO) ndef --card 045A454C564F01 read
	@echo; echo "== The NDEF message of the second MIFARE Classic card, found through its MAD"
	$(ZELVORN_DEMO) ndef --card 5A4E4446 read
	@echo; echo "== A URI written to the NTAG215 and read back (its memory kept in a state file)"
	rm -f $(BUILD)/demo-ndef.state
	$(ZELVORN_DEMO) --state $(BUILD)/demo-ndef.state ndef --card 045A4C564F524E write --uri https://example.org
	$(ZELVORN_DEMO) --state $(BUILD)/demo-ndef.state ndef --card 045A4C564F524E read

# Everything under PREFIX: library, header, udev rules, pkg-config file and
# CMake package, the tool with its man page, completion and documentation,
# the virtual library, the dissector and the PC/SC drivers; DESTDIR is
# honoured for staging. Builds only what it installs (in $(BUILD), configured
# without the tests when fresh). The PC/SC bundle goes to PREFIX/lib/pcsc/drivers,
# which is pcscd's own folder when PREFIX is /usr; PCSCD_DROPDIR=DIR puts it
# in DIR instead (e.g. /usr/lib/pcsc/drivers with another PREFIX).
# make uninstall removes what the installs wrote, and the folders they made
# (recorded in $(INSTALL_RECORD)).
PCSCD_DROPDIR ?=
# Given for one install only: any other build of $(BUILD) takes the default.
PCSCD_DROPDIR_OPTION = $(if $(PCSCD_DROPDIR),-DZELVORN_PCSC_DROPDIR="$(PCSCD_DROPDIR)",-UZELVORN_PCSC_DROPDIR)
INSTALL_CMAKE_OPTIONS = -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELVORN_BUILD_TESTS=OFF
# Outside $(BUILD), so that make clean does not forget what is installed.
INSTALL_RECORD ?= .installed

install:
	bash scripts/install-deps.sh $(INSTALL_DEPS)
	cmake -S . -B $(BUILD) $$([ -f $(BUILD)/CMakeCache.txt ] || echo "$(INSTALL_CMAKE_OPTIONS)") \
		-DZELVORN_BUILD_PCSC=ON $(PCSCD_DROPDIR_OPTION) > /dev/null
	cmake --build $(BUILD) -j$(JOBS) --target zelvorn_install_parts
	sh scripts/install.sh $(BUILD) "$(abspath $(PREFIX))" $(INSTALL_RECORD)

uninstall:
	sh scripts/uninstall.sh $(INSTALL_RECORD)

# Benchmarks: installs their own extra packages, then builds in a folder of
# its own with the parts that need them (configuring fails at once if one is
# missing), runs everything and prints the table (results in
# $(BENCH_BUILD)/bench-results). The default build never looks for these
# packages, so it is the same on every machine.
BENCH_BUILD ?= build-bench

bench:
	bash scripts/install-deps.sh $(BENCH_DEPS)
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELVORN_BUILD_TESTS=OFF \
		-DZELVORN_BENCH=ON
	cmake --build $(BENCH_BUILD) -j$(JOBS)
	bash bench/run.sh $(BENCH_BUILD)

# A release: the Debian packages and the Windows zip, from clean builds of
# their own (no tests) into $(DIST), with their checksums. make test checks
# the same artifacts made from its own trees; here the packages get lintian
# and their contents check again, the zip its contents and imports.
DIST ?= dist
DIST_BUILD ?= build-dist
DIST_BUILD_WIN ?= build-dist-win
DIST_ABS = $(abspath $(DIST))

dist:
	bash scripts/install-deps.sh $(DIST_DEPS)
	rm -rf $(DIST) $(DIST_BUILD) $(DIST_BUILD_WIN)
	cmake -S . -B $(DIST_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELVORN_BUILD_TESTS=OFF
	cmake --build $(DIST_BUILD) -j$(JOBS)
	cpack --config $(DIST_BUILD)/CPackConfig.cmake -B $(DIST_ABS)
	cmake -S . -B $(DIST_BUILD_WIN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELVORN_BUILD_TESTS=OFF \
		-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
	cmake --build $(DIST_BUILD_WIN) -j$(JOBS)
	cpack --config $(DIST_BUILD_WIN)/CPackConfig.cmake -B $(DIST_ABS)
	rm -rf $(DIST)/_CPack_Packages
	. $(DIST_BUILD)/packaging/release.env && \
		sh tests/packaging/check_debs.sh lintian $(DIST) "$$VERSION" "$$PACKAGES" "$$LIBDIR" && \
		sh tests/packaging/check_debs.sh contents $(DIST) "$$VERSION" "$$PACKAGES" "$$LIBDIR" && \
		mkdir -p $(DIST_BUILD_WIN)/unpacked && \
		cd $(DIST_BUILD_WIN)/unpacked && cmake -E tar xf $(DIST_ABS)/zelvorn-$$VERSION-win64.zip && cd $(CURDIR) && \
		sh tests/packaging/check_zip.sh contents $(DIST) $(DIST_BUILD_WIN)/unpacked "$$VERSION" $(CURDIR) \
			x86_64-w64-mingw32-objdump - - -
	cd $(DIST) && sha256sum *.deb *.zip > SHA256SUMS
	@echo; ls -l $(DIST)

clean:
	rm -rf $(BUILD) $(BUILD_WIN) $(ASAN_BUILD) $(FUZZ_BUILD) $(BENCH_BUILD) $(DIST_BUILD) $(DIST_BUILD_WIN)
