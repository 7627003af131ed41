# Set-up, build and test entry points. Each target installs what is missing, configures and
# builds with CMake, then runs.

JOBS ?= $(shell nproc)
PACKAGES := cmake g++ make pkg-config ca-certificates libogre-1.12-dev libboost-dev \
	libgtest-dev libgmock-dev libbenchmark-dev libtiff-dev libtiff-tools libcli11-dev gdal-bin \
	xvfb xauth libgl1-mesa-dri

.PHONY: all deps build run test test-plain test-install test-asan test-tsan bench clean

all: build

deps:
	@scripts/install-deps.sh $(PACKAGES)

build: deps
	@cmake --preset default >/dev/null
	@cmake --build --preset default -j $(JOBS)

# The main job: the viewer flies over its built-in 4097 x 4097 map offscreen and writes a picture.
run: build
	@xvfb-run -a -s "-screen 0 1024x768x24" ./build/viewer/terrain-viewer --frames 240 \
		--screenshot build/terrain-viewer.png

# The whole suite: the plain build, then AddressSanitizer + UndefinedBehaviorSanitizer, then the
# threading tests under ThreadSanitizer.
test: deps
	@$(MAKE) --no-print-directory test-plain test-install test-asan test-tsan

test-plain: build
	@ctest --preset default -j $(JOBS)

# Installs into a staging folder, builds the example host against the installed package and
# renders a map made by the installed tool.
test-install: build
	@rm -rf build/stage build/host
	@cmake --install build --prefix $(CURDIR)/build/stage >/dev/null
	@cmake -S examples/host -B build/host -DCMAKE_PREFIX_PATH=$(CURDIR)/build/stage >/dev/null
	@cmake --build build/host -j $(JOBS)
	@build/stage/bin/terrain-heightmap create build/host/map.tif --size 513 --seed 7
	@xvfb-run -a -s "-screen 0 1024x768x24" build/host/terrain-host build/host/map.tif build/host/host.png

test-asan: deps
	@cmake --preset asan >/dev/null
	@cmake --build --preset asan -j $(JOBS)
	@ctest --preset asan -j $(JOBS)

test-tsan: deps
	@cmake --preset tsan >/dev/null
	@cmake --build --preset tsan -j $(JOBS)
	@ctest --preset tsan -j $(JOBS)

# Every benchmark, then a table of the headline figures (scripts/bench-summary.sh); the flights
# are also drawn, frame by frame, as SVG charts beside the results.
bench: build
	@mkdir -p build/bench-results
	@for b in build/bench/benchmark_*; do \
		TERRAIN_BENCH_CHARTS=build/bench-results \
		$$b --benchmark_out=build/bench-results/$$(basename $$b).json --benchmark_out_format=json || exit 1; \
	done
	@scripts/bench-summary.sh build/bench-results

clean:
	rm -rf build build-asan build-tsan build-fuzz
