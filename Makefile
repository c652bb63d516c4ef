# The two commands of the README. Both install what is missing first.
PRESET ?= default
BUILD_DIR = $(if $(filter asan,$(PRESET)),build-asan,build)
CMAKE_EXTRA ?=
JOBS ?= $(shell nproc)

.PHONY: run test build build-run deps configure clean package

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

# The Debian package, from a build of its own without tests (build-package/*.deb).
package: deps
	@cmake -S . -B build-package -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DRELVO_BUILD_TESTS=OFF -DRELVO_BUILD_BENCH=OFF $(CMAKE_EXTRA) >/dev/null
	@cmake --build build-package --target package -j$(JOBS)
	@ls build-package/*.deb

clean:
	rm -rf build build-asan build-package
