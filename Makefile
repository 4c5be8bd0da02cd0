# make run: set up, build, prepare build/demo and run the server in the foreground.
# make admin: the same demo directory with the administration program tarnserver.
# make test: set up, build (plain and sanitized) and run every test.
BUILD      := build
ASAN_BUILD := build-asan
JOBS       ?= $(shell nproc)

.PHONY: all setup build build-asan test run admin clean

all: build

setup:
	@scripts/setup

build: setup
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

build-asan: setup
	@cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTARNWICK_SANITIZE=ON >/dev/null
	@cmake --build $(ASAN_BUILD) -j $(JOBS)

test: build build-asan
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)
	ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

run: build
	@scripts/demo $(BUILD)

admin: build
	@scripts/demo $(BUILD) tarnserver

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
