# Shortcuts for the scripts in scripts/. PRESET picks the build (release, debug, asan,
# ci-release, ci-asan; see CMakePresets.json).
PRESET ?= release

.PHONY: demo test format check-format check-layers tidy clean

demo:
	./scripts/demo.sh $(PRESET)

test:
	./scripts/test.sh $(PRESET)

format:
	git ls-files '*.c' '*.cpp' '*.h' | xargs clang-format -i

check-format:
	./scripts/check-format.sh

check-layers:
	/usr/bin/python3 scripts/check-layers.py

tidy:
	./scripts/tidy.sh

clean:
	rm -rf build
