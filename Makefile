# Set-up, build and test entry points. Each target installs what is missing, configures and
# builds with CMake, then runs.

JOBS ?= $(shell nproc)
PACKAGES := cmake g++ make pkg-config ca-certificates libogre-1.12-dev libboost-dev \
	libgtest-dev libgmock-dev libbenchmark-dev libtiff-dev libtiff-tools libcli11-dev \
	xvfb xauth libgl1-mesa-dri

.PHONY: all deps build run test test-plain test-asan test-tsan bench clean

all: build

deps:
	@scripts/install-deps.sh $(PACKAGES)

build: deps
	@cmake --preset default >/dev/null
	@cmake --build --preset default -j $(JOBS)

# The main job.
run: build
	@./build/terrain-demo

# The whole suite: the plain build, then AddressSanitizer + UndefinedBehaviorSanitizer, then the
# threading tests under ThreadSanitizer.
test: deps
	@$(MAKE) --no-print-directory test-plain test-asan test-tsan

test-plain: build
	@ctest --preset default -j $(JOBS)

test-asan: deps
	@cmake --preset asan >/dev/null
	@cmake --build --preset asan -j $(JOBS)
	@ctest --preset asan -j $(JOBS)

test-tsan: deps
	@cmake --preset tsan >/dev/null
	@cmake --build --preset tsan -j $(JOBS)
	@ctest --preset tsan -j $(JOBS)

bench: build
	@for b in build/bench/benchmark_*; do $$b; done

clean:
	rm -rf build build-asan build-tsan build-fuzz
