# Thin wrapper around the CMake presets.
#   make demo    installs what the build needs, builds, and runs the example on sample data
#   make test    installs what the build needs, builds, and runs every test
# PRESET picks the build (release, debug, asan, ci-release, ci-asan).
PRESET ?= release
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all deps build demo test format check-format clean

all: build

deps:
	@./scripts/install-deps.sh

build: deps
	cmake --preset $(PRESET)
	cmake --build --preset $(PRESET) -j $(JOBS)

demo: build
	./build/$(PRESET)/examples/volume_demo build/$(PRESET)/demo-data

test: build
	ctest --preset $(PRESET) -j $(JOBS)

format:
	git ls-files '*.c' '*.cpp' '*.h' | xargs clang-format -i

check-format:
	git ls-files '*.c' '*.cpp' '*.h' | xargs clang-format --dry-run -Werror

clean:
	rm -rf build
