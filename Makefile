# Entry points: `make test` and `make demo` do all set-up on a fresh Debian 12 machine.
JOBS   ?= $(shell nproc)
BUILD  ?= build
ASAN   ?= build-asan
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo

PREFIX ?= /usr/local
PHP_CONFIG ?= php-config
PHP_INI_DIR ?= /etc/php/8.2/mods-available

.PHONY: all deps build build-asan test test-fast test-slow demo install bench fuzz clean

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

# The tour of the PHP module on the sample data of examples/data; its log goes to $(BUILD)/demo.
demo: build
	MORV_BUILD_DIR=$(CURDIR)/$(BUILD) php -n -d extension=$(CURDIR)/$(BUILD)/libMORVExtension.so.3 examples/demo.php

# The PHP module into PHP's extension directory, enabled for every SAPI with phpenmod (not
# under DESTDIR, where a package is being staged); libMORV.so.3 and its C header under PREFIX.
# SKIP_BUILD=1 installs what $(BUILD) already holds.
install: $(if $(SKIP_BUILD),,build)
	install -d $(DESTDIR)$(shell $(PHP_CONFIG) --extension-dir) $(DESTDIR)$(PHP_INI_DIR) \
	  $(DESTDIR)$(PREFIX)/lib $(DESTDIR)$(PREFIX)/include
	install -m 0644 $(BUILD)/libMORVExtension.so.3 $(DESTDIR)$(shell $(PHP_CONFIG) --extension-dir)/
	printf '; MORV security SDK\n; priority=20\nextension=libMORVExtension.so.3\n' > $(DESTDIR)$(PHP_INI_DIR)/morv.ini
	install -m 0644 $(BUILD)/libMORV.so.3 $(DESTDIR)$(PREFIX)/lib/
	ln -sf libMORV.so.3 $(DESTDIR)$(PREFIX)/lib/libMORV.so
	install -m 0644 sdk/MORV.h foundation/vomu_export.h foundation/vomu_result.h $(DESTDIR)$(PREFIX)/include/
	@if [ -z "$(DESTDIR)" ]; then phpenmod morv && ldconfig; fi

# sdk_bench reads the test fixtures; the others need nothing.
bench: build
	@for b in $(BUILD)/bench/*_bench; do \
	  case $$b in *sdk_bench) args=tests/data/pki;; *) args=;; esac; [ -x $$b ] && $$b $$args; done

# libFuzzer targets (clang); run one with e.g. build-fuzz/fuzz/fuzz_asn1_memory -max_total_time=60
fuzz: deps
	cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=Debug -DMORV_FUZZ=ON \
	  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14
	cmake --build build-fuzz -j $(JOBS)

clean:
	rm -rf $(BUILD) $(ASAN) build-fuzz
