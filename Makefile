# Thin wrapper over CMake: `make` builds, `make demo` shows the samples, `make test` runs the suite.
BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
PREFIX ?= /usr/local
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all build deps build-deps configure testing demo test test-busy test-compat cross test-cross package check-sanitize fuzz bench lint install clean

all: build

deps:
	./scripts/install-deps

build-deps:
	./scripts/install-deps --build

$(BUILD_DIR)/CMakeCache.txt:
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)

configure: $(BUILD_DIR)/CMakeCache.txt

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

# The tests, the fuzzers' helpers and the benchmarks are configured in, also in a build folder
# that make demo started without them.
testing:
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DBUILD_TESTING=ON

# The viewer and its decoder only, with only what building them needs: a first run in seconds.
demo: build-deps
	test -f $(BUILD_DIR)/CMakeCache.txt || \
	    cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DBUILD_TESTING=OFF
	cmake --build $(BUILD_DIR) -j $(JOBS) --target lumoscape
	./$(BUILD_DIR)/lumoscape samples/*

test: deps
	$(MAKE) testing
	$(MAKE) build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)

# The suite while two busy loops a core run beside it: no test may rest on a bound that a
# busy machine breaks.
test-busy: deps
	$(MAKE) testing
	$(MAKE) build
	./scripts/beside-busy-loops ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)

# The whole suite on sdl12-compat (SDL 1.2 on top of SDL2): the same build, with the library
# unpacked into the build folder first on the library path. No system package changes.
test-compat: deps
	$(MAKE) testing
	$(MAKE) build
	./scripts/fetch-sdl12-compat $(BUILD_DIR)/sdl12-compat
	LD_LIBRARY_PATH=$(abspath $(BUILD_DIR))/sdl12-compat/lib LUMOSCAPE_EXPECT_SDL=compat \
	    ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)

# Cross builds for the handhelds and boards: make cross ARCH=arm64 (or armhf). The target's
# -dev packages are unpacked into the build folder; the machine's own stay as they are.
ARCH ?=
CROSS_DIR = $(BUILD_DIR)-$(ARCH)
cross:
	@test -n "$(ARCH)" || { echo "make cross ARCH=arm64|armhf"; exit 2; }
	./scripts/install-deps --arch $(ARCH)
	./scripts/cross-sysroot $(ARCH) $(CROSS_DIR)/sysroot
	cmake -S . -B $(CROSS_DIR) -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-$(ARCH).cmake \
	    -DLUMOSCAPE_SYSROOT=$(abspath $(CROSS_DIR))/sysroot -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) \
	    -DBUILD_TESTING=OFF
	cmake --build $(CROSS_DIR) -j $(JOBS)

# The process and end-to-end tests of the native build, run on the cross-built viewer under
# qemu-user, and the check of every call the emulated workers make against the target's own
# filter (which qemu-user refuses to load). Left out: the memcheck run (valgrind cannot run an emulated program) and the
# tests that run the code in-process, which test the native build only.
EMULATOR_arm64 = qemu-aarch64
EMULATOR_armhf = qemu-arm
EMULATED_TESTS = ^(e2e\.EndToEndTest|StartupTest|ProcessTest|BadInputTest|FilterTraceTest)\.
test-cross: deps cross
	$(MAKE) testing
	$(MAKE) build
	LUMOSCAPE_RUNNER=$(EMULATOR_$(ARCH)) LUMOSCAPE_BINARY=$(abspath $(CROSS_DIR))/lumoscape \
	    ctest --test-dir $(BUILD_DIR) -R '$(EMULATED_TESTS)' --output-on-failure -j $(JOBS)

# The Debian package of the native build, or of a cross build with ARCH=...; lintian must
# find nothing to say beyond information.
PACKAGE_DIR = $(if $(ARCH),$(CROSS_DIR),$(BUILD_DIR))
package: $(if $(ARCH),cross,deps)
	$(if $(ARCH),,$(MAKE) build BUILD_TYPE=$(BUILD_TYPE))
	desktop-file-validate packaging/lumoscape.desktop
	cd $(PACKAGE_DIR) && cpack -G DEB
	lintian --fail-on error,warning \
	    $(PACKAGE_DIR)/lumoscape_*.deb

# The whole suite again, built with AddressSanitizer, LeakSanitizer and UBSan; then the readers
# whose libraries hand pixels over from several threads (JPEG XL), with ThreadSanitizer.
check-sanitize: deps
	cmake -S . -B $(BUILD_DIR)-sanitize -DCMAKE_BUILD_TYPE=Debug -DLUMOSCAPE_SANITIZE=ON
	cmake --build $(BUILD_DIR)-sanitize -j $(JOBS)
	ctest --test-dir $(BUILD_DIR)-sanitize --output-on-failure -j $(JOBS)
	cmake -S . -B $(BUILD_DIR)-tsan -DCMAKE_BUILD_TYPE=Debug -DLUMOSCAPE_TSAN=ON
	cmake --build $(BUILD_DIR)-tsan -j $(JOBS) --target readers_test
	SDL_VIDEODRIVER=dummy TSAN_OPTIONS="halt_on_error=1 suppressions=$(CURDIR)/tests/sanitize/tsan.supp" \
	    ./$(BUILD_DIR)-tsan/tests/readers_test --gtest_filter='*JpegXl*:*Tagged*'

# Bounded libFuzzer runs over the settings reader, the image readers in-process, and the whole
# viewer with its decoding process on mutated files of every format; any finding fails. A
# reader input that takes over 2 s is a hang, and one that needs over 2 GB a finding too; a
# fixed seed makes a finding in CI one that reproduces here; earlier findings are run first.
FUZZ_RUNS ?= 200000
LOAD_FUZZ_SECONDS ?= 120
SANDBOX_FUZZ_SECONDS ?= 120
fuzz: deps
	CXX=clang++ cmake -S . -B $(BUILD_DIR)-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMOSCAPE_FUZZ=ON -DBUILD_TESTING=OFF
	cmake --build $(BUILD_DIR)-fuzz -j $(JOBS) --target settings_fuzzer load_fuzzer sandbox_fuzzer make_load_seeds
	mkdir -p $(BUILD_DIR)-fuzz/corpus $(BUILD_DIR)-fuzz/load-corpus $(BUILD_DIR)-fuzz/load-seeds \
	    $(BUILD_DIR)-fuzz/sandbox-corpus
	./$(BUILD_DIR)-fuzz/settings_fuzzer -runs=$(FUZZ_RUNS) -max_len=4096 $(BUILD_DIR)-fuzz/corpus tests/fuzz/seeds
	./$(BUILD_DIR)-fuzz/make_load_seeds $(BUILD_DIR)-fuzz/load-seeds
	./$(BUILD_DIR)-fuzz/load_fuzzer -max_total_time=$(LOAD_FUZZ_SECONDS) -seed=1 -timeout=2 \
	    -rss_limit_mb=2048 -max_len=65536 -artifact_prefix=$(BUILD_DIR)-fuzz/ \
	    $(BUILD_DIR)-fuzz/load-corpus $(BUILD_DIR)-fuzz/load-seeds tests/fuzz/load-findings
	./$(BUILD_DIR)-fuzz/sandbox_fuzzer -max_total_time=$(SANDBOX_FUZZ_SECONDS) -seed=1 -timeout=20 \
	    -keep_seed=1 \
	    -max_len=65536 -artifact_prefix=$(BUILD_DIR)-fuzz/sandbox- \
	    $(BUILD_DIR)-fuzz/sandbox-corpus $(BUILD_DIR)-fuzz/load-seeds tests/fuzz/library-crashes

# Release-mode benchmarks of every user action, the X rows on both SDL 1.2 implementations;
# the table also goes to docs/benchmarks.md.
bench: deps
	cmake -S . -B $(BUILD_DIR)-bench -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD_DIR)-bench -j $(JOBS) --target lumoscape lumoscape_bench
	./scripts/fetch-sdl12-compat $(BUILD_DIR)-bench/sdl12-compat
	./$(BUILD_DIR)-bench/lumoscape_bench --docs=docs/benchmarks.md \
	    --compat-lib=$(abspath $(BUILD_DIR))-bench/sdl12-compat/lib

# Static analysis, formatting, and a clang++ build of everything with warnings as errors.
SOURCES = $(shell find src tests bench -name '*.cpp' -o -name '*.h')
lint: deps configure
	cppcheck --enable=warning,style,performance,portability --error-exitcode=1 --inline-suppr \
	    --std=c++17 --language=c++ -q --suppressions-list=.cppcheck-suppressions -I src src
	clang-tidy -p $(BUILD_DIR) --quiet $(wildcard src/shell/*.cpp src/display/*.cpp)
	clang-format --dry-run --Werror $(SOURCES)
	CXX=clang++ cmake -S . -B $(BUILD_DIR)-clang -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DCMAKE_CXX_FLAGS=-Werror
	cmake --build $(BUILD_DIR)-clang -j $(JOBS)

install: build
	cmake --install $(BUILD_DIR) --prefix $(PREFIX)

clean:
	rm -rf $(BUILD_DIR) $(BUILD_DIR)-sanitize $(BUILD_DIR)-fuzz $(BUILD_DIR)-bench $(BUILD_DIR)-clang \
	    $(BUILD_DIR)-arm64 $(BUILD_DIR)-armhf
