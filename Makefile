# Two entry points: `make run` and `make test`.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
BUILD ?= build
ASAN_BUILD ?= build-asan

.PHONY: all deps build build-asan run test test-normal test-asan clean

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

test-normal: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-asan: build-asan
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  ctest --output-on-failure -j $(JOBS)

test: test-normal test-asan

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
