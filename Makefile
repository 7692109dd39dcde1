# Thin wrapper over CMake presets. `make run` and `make test` are the two
# commands a newcomer needs; both install what is missing first.
.PHONY: all bootstrap build run test check screenshots bench fuzz

all: build

bootstrap:
	@scripts/bootstrap.sh

build: bootstrap
	cmake --preset dev
	cmake --build --preset dev

run: build
	@scripts/run.sh build/dev

# After the native tests, the Windows check: the Qt-free code cross-built with
# mingw-w64 and its tests run under wine (skipped when those are missing). It
# runs even when native tests fail, so one run shows both summaries.
test: build
	@native=0; ctest --preset dev || native=$$?; \
	  scripts/windows-check.sh && exit $$native

# Everything built with AddressSanitizer + UndefinedBehaviorSanitizer and
# tested (build/asan); then the threaded tests with ThreadSanitizer
# (build/tsan). Both run even when the first fails.
check: bootstrap
	@asan=0; { cmake --preset asan && cmake --build --preset asan && ctest --preset asan; } || asan=$$?; \
	  cmake --preset tsan && cmake --build --preset tsan && ctest --preset tsan && exit $$asan

# Pictures of the running windows under a virtual display, into ./screenshots.
screenshots: build
	@scripts/screenshots.sh build/dev

# The benchmarks, built in Release; every figure printed with its goal.
bench: bootstrap
	@scripts/bench.sh

# The file loaders' fuzz targets, built with clang into build/fuzz and run for
# FUZZ_SECONDS (60) each; new inputs stay in build/fuzz.
fuzz: bootstrap
	@scripts/fuzz.sh
