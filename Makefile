# Entry points: `make run` opens the application bundle, `make test` runs every test, `make bench`
# prints each benchmark as a ratio against its baseline. Each installs what is missing first.
WERROR ?= $(or $(DOVREL_WERROR),OFF)
JOBS ?= $(shell nproc)
SESSION := scripts/with-session-services

.PHONY: all deps build build-sanitize build-fuzz run test fuzz bench format clean

all: build

deps:
	scripts/install-deps

build: deps
	cmake --preset default -DDOVREL_WERROR=$(WERROR) >/dev/null
	cmake --build --preset default -j $(JOBS)

build-sanitize: deps
	cmake --preset sanitize -DDOVREL_WERROR=$(WERROR) >/dev/null
	cmake --build --preset sanitize -j $(JOBS)

build-fuzz: deps
	cmake --preset fuzz -DDOVREL_WERROR=$(WERROR) >/dev/null
	cmake --build --preset fuzz -j $(JOBS)

# Only what the bundle holds: the tests and benchmarks are left to `make test` and `make bench`.
run: deps
	cmake --preset default -DDOVREL_WERROR=$(WERROR) >/dev/null
	cmake --build --preset default -j $(JOBS) --target bundle
	scripts/run-app build/Dovrel.app

test: build build-sanitize build-fuzz
	scripts/run-fuzzers build-fuzz $(FUZZ_SMOKE_SECONDS)
	$(SESSION) ctest --preset sanitize -j $(JOBS)
	$(SESSION) ctest --preset default -j $(JOBS)

# Each fuzz target runs FUZZ_SECONDS (60 by default); `make test` gives each a few seconds.
FUZZ_SECONDS ?= 60
FUZZ_SMOKE_SECONDS ?= 5
fuzz: build-fuzz
	scripts/run-fuzzers build-fuzz $(FUZZ_SECONDS)

bench: build
	$(SESSION) scripts/run-benchmarks build

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build build-sanitize build-fuzz
