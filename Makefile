# Two commands set up everything on a fresh Debian machine: `make run` and `make test`.
# Every target installs what is missing first (scripts/install-deps is cheap when nothing is).

JOBS ?= $(shell nproc)
CTEST_ARGS ?= --output-on-failure -j $(JOBS) --timeout 600

.PHONY: windows-deps windows windows-installer windows-screenshots test-windows deps build test test-long test-asan test-tsan fuzz bench run package clean

deps:
	@bash scripts/install-deps

build/build.ninja:
	cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: deps build/build.ninja
	cmake --build build -j $(JOBS)

test: build
	cd build && ctest $(CTEST_ARGS)

# Tests too long for `make test`: a 4.5 GiB file up and down through the real relay (35 s to
# two minutes here, disk-bound; needs about 5 GiB free under /tmp).
test-long: build
	build/tests/transfer/transfer_long_tests

# AddressSanitizer + UBSan over every test.
build-asan/build.ninja:
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTLM_SANITIZE=address -DTLM_WITH_BENCH=OFF

test-asan: deps build-asan/build.ninja
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/scripts/lsan.supp:print_suppressions=0 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest $(CTEST_ARGS)

# ThreadSanitizer over the tests of the Qt-free code (protocol, platform, capture, host, relay).
build-tsan/build.ninja:
	cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTLM_SANITIZE=thread -DTLM_WITH_QT=OFF -DTLM_WITH_BENCH=OFF

test-tsan: deps build-tsan/build.ninja
	cmake --build build-tsan -j $(JOBS)
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ctest $(CTEST_ARGS)

# libFuzzer targets, each run for FUZZ_SECONDS; any crash fails the target.
FUZZ_SECONDS ?= 30
build-fuzz/build.ninja:
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTLM_WITH_FUZZ=ON -DTLM_WITH_QT=OFF -DTLM_WITH_BENCH=OFF

fuzz: deps build-fuzz/build.ninja
	cmake --build build-fuzz --target fuzz_targets -j $(JOBS)
	bash scripts/run-fuzzers build-fuzz/fuzz $(FUZZ_SECONDS)

bench: build
	bash scripts/run-benchmarks build/bench

run: build
	bash scripts/run-local

# The Debian packages tlmremoteclient and tlmrelay, in build/packages/ (builds only what they hold).
package: deps build/build.ninja
	cmake --build build -j $(JOBS) --target tlmrelay TLMRemoteClient tlm_dist_files
	cd build && cpack -G DEB
	@ls -1 build/packages/*.deb

clean:
	rm -rf build build-asan build-tsan build-fuzz build-windows

# The Windows cross-build (MinGW-w64, static) of everything below the windows, and its tests
# under Wine. scripts/install-windows-deps adds the compiler and Wine; libjpeg-turbo and libsodium
# are built for MinGW from Debian's source packages once per build folder.
windows-deps: deps
	@bash scripts/install-windows-deps
	JOBS=$(JOBS) bash scripts/build-windows-jpeg build-windows
	JOBS=$(JOBS) bash scripts/build-windows-sodium build-windows

build-windows/build.ninja:
	cmake -S . -B build-windows -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-w64-x86_64.cmake

windows: windows-deps build-windows/build.ninja
	cmake --build build-windows -j $(JOBS)

# The Windows installer, build-windows/TLMRemoteClient-<version>-setup.exe (NSIS).
windows-installer: windows
	cmake --build build-windows -j $(JOBS) --target windows-installer
	@ls -1 build-windows/TLMRemoteClient-*-setup.exe

# The Windows suites under Wine; some run the Windows program with the Linux program and relay,
# and one installs and removes the installer, so those are built too.
test-windows: windows-installer build/build.ninja
	cmake --build build -j $(JOBS) --target tlmrelay TLMRemoteClient tlm_e2e_files
	bash scripts/run-windows-tests build-windows --timeout 600

# docs/windows-main.png and docs/windows-viewer.png, under Wine.
windows-screenshots: windows build/build.ninja
	cmake --build build -j $(JOBS) --target tlmrelay TLMRemoteClient
	/usr/bin/python3 scripts/windows-screenshots build build-windows
