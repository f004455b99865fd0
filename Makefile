# Two entry points: `make run` and `make test`.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
BUILD ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
# Seconds each fuzz target runs under `make fuzz`, and in the smoke run of `make test`.
FUZZ_SECONDS ?= 60
FUZZ_SMOKE_SECONDS ?= 5

.PHONY: all deps build build-asan build-fuzz run test test-normal test-asan fuzz fuzz-smoke clean

all: build

deps:
	@sh scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)

build-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DVDX_SANITIZE=ON -DVDX_BUILD_BENCH=OFF
	cmake --build $(ASAN_BUILD) -j $(JOBS)

# Builds only the program itself (none of the test programs) and starts it.
run: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS) --target dedezivi
	exec $(BUILD)/dedezivi

# The fuzz targets (fuzz/*_fuzz.cpp): clang with libFuzzer and the sanitizers, in a build of
# their own.
build-fuzz: deps
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVDX_FUZZ=ON \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
	cmake --build $(FUZZ_BUILD) -j $(JOBS)

# Every target for FUZZ_SECONDS, at most half the cores at once.
fuzz: build-fuzz
	sh fuzz/run_fuzz.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

# The same for a few seconds each: the targets keep building and their seeds stay clean.
fuzz-smoke: build-fuzz
	sh fuzz/run_fuzz.sh $(FUZZ_BUILD) $(FUZZ_SMOKE_SECONDS)

test-normal: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-asan: build-asan
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  ctest --output-on-failure -j $(JOBS)

test: test-normal test-asan fuzz-smoke

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
