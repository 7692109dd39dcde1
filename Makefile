# Thin wrapper over CMake presets. `make run` and `make test` are the two
# commands a newcomer needs; both install what is missing first.
.PHONY: all bootstrap build run test

all: build

bootstrap:
	@scripts/bootstrap.sh

build: bootstrap
	cmake --preset dev
	cmake --build --preset dev

run: build
	@scripts/run.sh build/dev

test: build
	ctest --preset dev
