# The two commands of the README. Both install what is missing first.
PRESET ?= default
BUILD_DIR = $(if $(filter asan,$(PRESET)),build-asan,build)
CMAKE_EXTRA ?=

.PHONY: run test build build-run deps configure clean

deps:
	@./scripts/install-deps.sh

configure: deps
	@cmake --preset $(PRESET) $(CMAKE_EXTRA) >/dev/null

build: configure
	@cmake --build --preset $(PRESET)

# Only what running needs: the console and the engine library, not the tests and benchmarks.
build-run: configure
	@cmake --build --preset $(PRESET) --target relvo_run_targets

run: build-run
	@./$(BUILD_DIR)/bin/relvoconsole

test: build
	@ctest --preset $(PRESET)

clean:
	rm -rf build build-asan
