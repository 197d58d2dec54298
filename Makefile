# The two commands of the README: `make demo` and `make test`. Each installs what
# it needs (Debian 12, as root), configures and builds.

PRESET ?= default
BUILD_DIR := build/$(PRESET)

.PHONY: all deps deps-win32 build build-win32 test demo format clean

all: build

deps:
	@scripts/install-deps.sh

build: deps
	cmake --preset $(PRESET)
	cmake --build --preset $(PRESET)

# DE30.dll, cross-compiled with mingw-w64; its tests run under Wine.
deps-win32:
	@scripts/install-deps.sh win32

build-win32: deps-win32
	cmake --preset win32
	cmake --build --preset win32

# The whole suite as built, then under the address and undefined-behaviour
# sanitizers (less the installed-package checks, whose consumers build without
# them), then the station, de30d and channel tests under the thread sanitizer
# (scripts/tsan.sh builds only those), then DE30.dll's tests under Wine (skipped,
# with the reason, on a machine that cannot execute 32-bit programs).
test: build build-win32
	ctest --preset $(PRESET)
	cmake --preset asan
	cmake --build --preset asan
	ctest --preset asan
	scripts/tsan.sh
	ctest --preset win32
	@grep -h '^skipped: ' build/win32/Testing/Temporary/LastTest.log 2>/dev/null | sed 's/^/win32: /' || true

demo: build
	$(BUILD_DIR)/bin/de30ctl demo

format:
	git ls-files '*.cpp' '*.hpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build
