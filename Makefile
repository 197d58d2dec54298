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

test: build
	ctest --preset $(PRESET)

demo: build
	$(BUILD_DIR)/bin/de30ctl demo

format:
	git ls-files '*.cpp' '*.hpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build
