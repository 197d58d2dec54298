# The two commands of the README: `make demo` and `make test`. Each installs what
# it needs (Debian 12, as root), configures and builds.

PRESET ?= default
BUILD_DIR := build/$(PRESET)

.PHONY: all deps build test demo format clean

all: build

deps:
	@scripts/install-deps.sh

build: deps
	cmake --preset $(PRESET)
	cmake --build --preset $(PRESET)

# The whole suite twice: as built, then under the address and undefined-behaviour
# sanitizers (less the installed-package check, whose consumers build without them).
test: build
	ctest --preset $(PRESET)
	cmake --preset asan
	cmake --build --preset asan
	ctest --preset asan

demo: build
	$(BUILD_DIR)/tools/de30_selfcheck

format:
	git ls-files '*.cpp' '*.hpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build
