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
	rm -rf $(BUILD_DIR) $(ASAN_DIR) $(BENCH_DIR)

# Benchmarks: a Release build of its own (generated data sets are cached in it), three repetitions
# of each benchmark, the JSON results in bench/results.json and the targets' summary on the console.
BENCH_DIR ?= build-bench
BENCH_ARGS ?= --benchmark_repetitions=3 --benchmark_report_aggregates_only=true
.PHONY: bench
bench: deps
	cmake -S . -G Ninja -DCMAKE_BUILD_TYPE=Release -DBYTARN_BENCH=ON -B $(BENCH_DIR)
	cmake --build $(BENCH_DIR) -j$(JOBS) --target bytarn_bench
	$(BENCH_DIR)/bin/bytarn_bench $(BENCH_ARGS) \
		--benchmark_out=bench/results.json --benchmark_out_format=json
