# Thin wrapper over CMake: every target first makes sure the machine has what the build needs.
BUILD ?= build
PY := /usr/bin/python3
JOBS := $(shell nproc)

.PHONY: setup build test format-check include-check thread-safety demo tsan asan fuzz pypy
.PHONY: pypy-build pip-check clean

setup:
	scripts/setup

build: setup
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS)

# The formatting, include and lock-annotation checks, every C++ and Python test (the build
# compiling each header of src/ alone as well), then the C++ tests again under
# ThreadSanitizer, everything again under AddressSanitizer/UBSan, the fuzz
# targets, the Python tests under PyPy, and an install with pip. The PyPy
# module is built first, so that the benchmark's smoke run covers PyPy too.
test: format-check include-check thread-safety build pypy-build
	ctest --test-dir $(BUILD) --output-on-failure -j 2
	$(MAKE) tsan
	$(MAKE) asan
	$(MAKE) fuzz
	$(MAKE) pypy
	$(MAKE) pip-check

# The C++ sources as .clang-format has them; `clang-format -i` on the files it
# names mends them.
FORMATTED := $(shell git ls-files 'src/*.cpp' 'src/*.hpp' 'tests/*.cpp' 'tests/*.hpp' 'fuzz/*.cpp' 'fuzz/*.hpp')
format-check: setup
	@test -n "$(FORMATTED)" || { echo "format-check: no tracked C++ files (not a git checkout?)"; exit 1; }
	clang-format --dry-run --Werror $(FORMATTED)

# No include of src/, tests/ or fuzz/ climbs out of the include roots with
# `..`, and each folder's korvale_layer line names every folder that its files
# include; scripts/check-includes names each offending file:line.
include-check: setup
	$(PY) scripts/check-includes

# The lock contracts of the core's annotations, checked by clang's
# thread-safety analysis (a syntax-only pass over every source of the core and
# of the binding layer).
thread-safety: setup
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release
	scripts/thread-safety-check $(BUILD)

tsan: setup
	cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVALE_SANITIZE=thread -DKORVALE_PYTHON=OFF
	cmake --build build-tsan -j $(JOBS) --target korvale_tests
	TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build-tsan --output-on-failure

# The C++ tests and the whole pytest suite built with AddressSanitizer and
# UndefinedBehaviorSanitizer, leak checks included (CMakeLists.txt preloads the
# runtime into the interpreter). Any report fails the run. The headers compiled
# alone are left to `make build`: under the sanitizers they check nothing more.
#
# intercept_tls_get_addr=0: g++ 12's runtime records each thread's dynamic TLS
# blocks (those of dlopen'ed modules: korvale's own, Abseil's) by guessing
# that a block starting 16 bytes into a page has an old glibc's header before
# it. A block from the sanitizer's malloc has the allocator's chunk header
# there instead, so once in a few hundred blocks the record holds a garbage
# range, and the leak check at the process's exit reads it and dies ("Tracer
# caught signal 11"), in any process whose pool threads ran. Without the
# records the leak check still sees those blocks, as heap blocks that glibc's
# own TLS vector points to, so every process keeps its leak check.
ASAN_RUN_OPTIONS := detect_leaks=1:intercept_tls_get_addr=0
asan: setup
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVALE_SANITIZE=address,undefined -DCMAKE_CXX_FLAGS=-fno-sanitize-recover=all -DKORVALE_HEADER_CHECK=OFF
	cmake --build build-asan -j $(JOBS)
	ASAN_OPTIONS=$(ASAN_RUN_OPTIONS) UBSAN_OPTIONS=print_stacktrace=1 ctest --test-dir build-asan --output-on-failure -j 2

# libFuzzer targets of the pattern language (fuzz/), each run for FUZZ_SECONDS.
# clang-19: older Debian clangs do not see std::expected in libstdc++ 12.
FUZZ_SECONDS ?= 60
FUZZ_TARGETS := path_pattern schemas property_value
fuzz: setup
	cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-19 -DKORVALE_PYTHON=OFF -DKORVALE_FUZZ=ON -DKORVALE_SANITIZE=fuzzer-no-link,address,undefined -DCMAKE_CXX_FLAGS=-fno-sanitize-recover=all
	cmake --build build-fuzz -j $(JOBS) $(addprefix --target fuzz_,$(FUZZ_TARGETS))
	fuzz/run build-fuzz $(FUZZ_SECONDS) $(FUZZ_TARGETS)

# The module built for PyPy (its own build directory) and the Python tests run
# under pypy3; Debian's pypy3 finds Debian's pure-Python pytest by itself.
pypy: pypy-build
	ctest --test-dir build-pypy --output-on-failure -R '^python$$'

pypy-build: setup
	cmake -S . -B build-pypy -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython3_EXECUTABLE=/usr/bin/pypy3
	cmake --build build-pypy -j $(JOBS) --target korvale korvale_testing

# pip install into a fresh venv, then the demo and a type check from outside the repository.
pip-check: setup
	scripts/pip-check

demo: build
	PYTHONPATH=$(BUILD) $(PY) examples/demo.py

clean:
	rm -rf $(BUILD) build-tsan build-asan build-fuzz build-pypy build-pip

# korvale against networkx: warm and cold calls, and the warm calls again with
# the module built for PyPy (see bench/README.md).
.PHONY: bench
bench: build pypy-build
	PYTHONPATH=$(BUILD) $(PY) bench/run.py --pypy-build build-pypy
