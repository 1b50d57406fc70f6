# Thin wrapper over CMake: every target first makes sure the machine has what the build needs.
BUILD ?= build
PY := /usr/bin/python3
JOBS := $(shell nproc)

.PHONY: setup build test demo tsan clean

setup:
	scripts/setup

build: setup
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS)

# Every C++ and Python test, then the C++ tests again under ThreadSanitizer.
test: build
	ctest --test-dir $(BUILD) --output-on-failure -j 2
	$(MAKE) tsan

tsan: setup
	cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVALE_SANITIZE=thread -DKORVALE_PYTHON=OFF
	cmake --build build-tsan -j $(JOBS) --target korvale_tests
	TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build-tsan --output-on-failure

demo: build
	PYTHONPATH=$(BUILD) $(PY) examples/demo.py

clean:
	rm -rf $(BUILD) build-tsan

# korvale against networkx, one table (see bench/README.md).
.PHONY: bench
bench: build
	PYTHONPATH=$(BUILD) $(PY) bench/run.py
