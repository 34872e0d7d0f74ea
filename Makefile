# Entry points: `make test` and `make demo` do all set-up on a fresh Debian 12 machine.
JOBS   ?= $(shell nproc)
BUILD  ?= build
ASAN   ?= build-asan
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: all deps build build-asan test test-fast test-slow demo bench fuzz clean

all: build

deps:
	@bash scripts/install-deps

build: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

build-asan: deps
	cmake -S . -B $(ASAN) -DCMAKE_BUILD_TYPE=Debug -DMORV_SANITIZE=ON
	cmake --build $(ASAN) -j $(JOBS)

# Normal build: every test but those labelled slow; then the C++ suite again under ASan+UBSan.
test: build build-asan
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS) -LE slow
	ctest --test-dir $(ASAN) --output-on-failure -j $(JOBS) -L cpp -LE slow

test-fast: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS) -LE slow

test-slow: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS) -L slow

demo: build
	@if [ -f examples/demo.php ]; then \
	  php -n -d extension=$(CURDIR)/$(BUILD)/libMORVExtension.so.3 examples/demo.php; \
	else echo "demo: the PHP module is not built yet"; fi

bench: build
	@for b in $(BUILD)/bench/*_bench; do [ -x $$b ] && $$b; done

# libFuzzer targets (clang); run one with e.g. build-fuzz/fuzz/fuzz_asn1_memory -max_total_time=60
fuzz: deps
	cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=Debug -DMORV_FUZZ=ON \
	  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14
	cmake --build build-fuzz -j $(JOBS)

clean:
	rm -rf $(BUILD) $(ASAN) build-fuzz
