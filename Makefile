# Thin wrapper over CMake presets. `make run` and `make test` are the two
# commands a newcomer needs; both install what is missing first.
.PHONY: all bootstrap build run test screenshots

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

# Pictures of the running windows under a virtual display, into ./screenshots.
screenshots: build
	@scripts/screenshots.sh build/dev
