# Thin wrapper over CMake presets. `make run` and `make test` are the two
# commands a newcomer needs; both install what is missing first, each only
# what it needs (scripts/bootstrap.sh PURPOSE).
.PHONY: all build run test check screenshots bench fuzz hil package windows lint tidy

all: build

# Everything: the program, its tests and tools.
build:
	@scripts/bootstrap.sh test
	cmake --preset dev
	cmake --build --preset dev

# The program alone: its packages, its target, and then the program.
run:
	@scripts/bootstrap.sh run
	cmake --preset dev
	cmake --build --preset dev --target rilvet48
	@scripts/run.sh build/dev

# After the native tests, the Windows check (the Qt-free code cross-built with
# mingw-w64, its tests run under wine) and the hardware-in-the-loop rig (the
# Linux serial path on the kernel's own drivers in a QEMU guest); each is
# skipped with a message where it cannot run here. All three always run, so
# one run shows every summary.
test: build
	@native=0; windows=0; ctest --preset dev || native=$$?; \
	  scripts/windows-check.sh || windows=$$?; \
	  scripts/hil.sh --optional && [ $$native -eq 0 ] && [ $$windows -eq 0 ]

# The hardware-in-the-loop rig alone: sets up QEMU and a Debian kernel,
# builds, boots the guest and runs its tests (docs/hil.md).
hil:
	@scripts/bootstrap.sh hil
	@scripts/hil.sh

# Everything built with AddressSanitizer + UndefinedBehaviorSanitizer and
# tested (build/asan); then the threaded tests with ThreadSanitizer
# (build/tsan). Both run even when the first fails.
check:
	@scripts/bootstrap.sh check
	@asan=0; { cmake --preset asan && cmake --build --preset asan && ctest --preset asan; } || asan=$$?; \
	  cmake --preset tsan && cmake --build --preset tsan && ctest --preset tsan && exit $$asan

# Pictures of the running windows under a virtual display, into ./screenshots.
screenshots:
	@scripts/bootstrap.sh screenshots
	cmake --preset dev
	cmake --build --preset dev --target rilvet48_screenshots
	@scripts/screenshots.sh build/dev

# The benchmarks, built in Release; every figure printed with its goal.
bench:
	@scripts/bootstrap.sh bench
	@scripts/bench.sh

# The file loaders' fuzz targets, built with clang into build/fuzz and run for
# FUZZ_SECONDS (60) each; new inputs stay in build/fuzz.
fuzz:
	@scripts/bootstrap.sh fuzz
	@scripts/fuzz.sh

# A Debian package of the program, built for /usr in build/package.
package:
	@scripts/bootstrap.sh package
	cmake --preset package
	cmake --build --preset package
	cd build/package && cpack -G DEB

# The program for Windows and what a Windows user downloads: a portable zip
# and an installer, in build/windows/package. The first run cross-builds Qt
# for Windows into a cache outside the checkout (about half an hour).
windows:
	@scripts/bootstrap.sh windows
	@scripts/windows-build.sh
	@scripts/windows-package.sh

# Every C and C++ file as clang-format wants it, no layer of src/
# including one above it, and each handler name defined in one class (CI runs
# this first).
lint:
	@scripts/bootstrap.sh lint
	@scripts/lint.sh format
	@scripts/lint.sh layers
	@scripts/lint.sh handlers
	@scripts/lint.sh docs

# The .clang-tidy checks over src/.
tidy:
	@scripts/bootstrap.sh test lint
	@scripts/lint.sh tidy
