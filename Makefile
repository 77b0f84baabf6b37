# Entry points: `make run` opens the application bundle, `make test` runs every test, `make check` the
# unit tests alone, `make bench` prints each benchmark as a ratio against its baseline. Each installs what
# is missing first.
WERROR ?= $(or $(DOVREL_WERROR),OFF)
JOBS ?= $(shell nproc)
SESSION := scripts/with-session-services

.PHONY: all deps build build-tests build-sanitize run check test fuzz bench format clean

all: build

deps:
	scripts/install-deps

build: deps
	cmake --preset default -DDOVREL_WERROR=$(WERROR) >/dev/null
	cmake --build --preset default -j $(JOBS)

# The release build without the benchmarks, which no test runs.
build-tests: deps
	cmake --preset default -DDOVREL_WERROR=$(WERROR) >/dev/null
	cmake --build --preset default -j $(JOBS) --target bundle test_programs

# clang with AddressSanitizer and UndefinedBehaviorSanitizer: the unit tests and the fuzz targets. A
# build-sanitize/ still configured for gcc is removed first, as CMake would drop the preset's settings
# when it switched the compiler.
build-sanitize: deps
	grep -qs '^CMAKE_CXX_COMPILER:.*clang' build-sanitize/CMakeCache.txt || rm -rf build-sanitize
	cmake --preset sanitize -DDOVREL_WERROR=$(WERROR) >/dev/null
	cmake --build --preset sanitize -j $(JOBS)

# Only what the bundle holds: the tests and benchmarks are left to `make test` and `make bench`.
run: deps
	cmake --preset default -DDOVREL_WERROR=$(WERROR) >/dev/null
	cmake --build --preset default -j $(JOBS) --target bundle
	scripts/run-app build/Dovrel.app

# The unit tests, in the sanitizer build: no keychain provider of their own, no window, no timing.
check: build-sanitize
	$(SESSION) ctest --preset sanitize -L unit -j $(JOBS)

# Then the fuzz targets for a few seconds each, and the tests of the services, windows and timing in the
# release build.
test: check build-tests
	scripts/run-fuzzers build-sanitize $(FUZZ_SMOKE_SECONDS)
	$(SESSION) ctest --preset default -j $(JOBS)

# Each fuzz target runs FUZZ_SECONDS (60 by default); `make test` gives each a few seconds.
FUZZ_SECONDS ?= 60
FUZZ_SMOKE_SECONDS ?= 5
fuzz: build-sanitize
	scripts/run-fuzzers build-sanitize $(FUZZ_SECONDS)

bench: build
	$(SESSION) scripts/run-benchmarks build

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build build-sanitize build-fuzz
