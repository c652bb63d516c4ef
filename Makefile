# The two commands of the README. Both install what is missing first.
PRESET ?= default
BUILD_DIR = $(if $(filter asan,$(PRESET)),build-asan,build)
CMAKE_EXTRA ?=

.PHONY: run test build deps configure clean

deps:
	@./scripts/install-deps.sh

configure: deps
	@cmake --preset $(PRESET) $(CMAKE_EXTRA) >/dev/null

build: configure
	@cmake --build --preset $(PRESET)

run: build
	@./$(BUILD_DIR)/bin/relvoconsole

test: build
	@ctest --preset $(PRESET)

clean:
	rm -rf build build-asan
