# Thin wrapper over scripts/ and CMake. Every target installs missing build dependencies first.
BUILD_DIR ?= build
ASAN_DIR ?= build-asan
BUILD_TYPE ?= RelWithDebInfo
PREFIX ?= /usr/local
JOBS ?= 2

CONFIGURE = cmake -S . -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)

.PHONY: all deps build test check check-asan demo install clean

all: build

deps:
	scripts/install-deps

build: deps
	$(CONFIGURE) -B $(BUILD_DIR)
	cmake --build $(BUILD_DIR) -j$(JOBS)

# Both configurations run even when the first fails; the target fails if either does.
test: deps
	@status=0; \
	$(MAKE) --no-print-directory check || status=1; \
	$(MAKE) --no-print-directory check-asan || status=1; \
	exit $$status

check:
	$(CONFIGURE) -B $(BUILD_DIR)
	cmake --build $(BUILD_DIR) -j$(JOBS)
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j$(JOBS)

check-asan:
	$(CONFIGURE) -B $(ASAN_DIR) -DBYTARN_SANITIZE=ON
	cmake --build $(ASAN_DIR) -j$(JOBS)
	UBSAN_OPTIONS=print_stacktrace=1 ctest --test-dir $(ASAN_DIR) --output-on-failure -j$(JOBS)

demo: build
	BUILD_DIR=$(BUILD_DIR) scripts/demo

install: build
	cmake --install $(BUILD_DIR) --prefix $(PREFIX)

clean:
	rm -rf $(BUILD_DIR) $(ASAN_DIR)
