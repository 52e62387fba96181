# Thin wrapper over scripts/ and CMake. Every target installs missing build dependencies first.
BUILD_DIR ?= build
ASAN_DIR ?= build-asan
BUILD_TYPE ?= RelWithDebInfo
PREFIX ?= /usr/local
JOBS ?= 2

CONFIGURE = cmake -S . -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)

.PHONY: all deps build test check check-asan check-tsan check-fuzz fuzz fuzz-build demo live screenshots \
	install deb clean

all: build

deps:
	scripts/install-deps

build: deps
	$(CONFIGURE) -B $(BUILD_DIR)
	cmake --build $(BUILD_DIR) -j$(JOBS)

# Every configuration runs even when an earlier one fails; the target fails if any does. The
# summary comes last, so the end of a long log names what failed (ctest's list of failed tests).
test: deps
	@status=0; summary=""; \
	for config in check:$(BUILD_DIR) check-asan:$(ASAN_DIR) check-tsan:$(TSAN_DIR) check-fuzz:; do \
		target=$${config%%:*}; dir=$${config#*:}; \
		failed=$${dir:+$$dir/Testing/Temporary/LastTestsFailed.log}; \
		if [ -n "$$failed" ]; then rm -f "$$failed"; fi; \
		if $(MAKE) --no-print-directory $$target; then \
			summary="$$summary\n  $$target: passed"; \
		else \
			status=1; summary="$$summary\n  $$target: FAILED"; \
			if [ -n "$$failed" ] && [ -s "$$failed" ]; then \
				summary="$$summary: $$(cut -d: -f2 $$failed | tr '\n' ' ')"; \
			fi; \
		fi; \
	done; \
	printf "== make test summary:$$summary\n"; \
	exit $$status

check:
	$(CONFIGURE) -B $(BUILD_DIR)
	cmake --build $(BUILD_DIR) -j$(JOBS)
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j$(JOBS)

# AddressSanitizer's usual -O1, and line tables only (-g1), which are all its reports need: the
# build takes about half the time of -O2 -g, and it is the longest part of make test.
ASAN_FLAGS = -O1 -g1 -DNDEBUG
check-asan:
	$(CONFIGURE) -B $(ASAN_DIR) -DBYTARN_SANITIZE=ON \
		-DCMAKE_CXX_FLAGS_RELWITHDEBINFO="$(ASAN_FLAGS)" -DCMAKE_C_FLAGS_RELWITHDEBINFO="$(ASAN_FLAGS)"
	cmake --build $(ASAN_DIR) -j$(JOBS)
	UBSAN_OPTIONS=print_stacktrace=1 ctest --test-dir $(ASAN_DIR) --output-on-failure -j$(JOBS)

# ThreadSanitizer (g++): only the test programs with tests that cross threads, and in them only
# those suites. This is the one list of them: the log and the clock from several threads,
# messaging and the notification centre's delivery thread, run-loop wake-ups from other threads,
# the collector (records from any thread, its line feed, synthetic and kernel sources and the bus), and the
# root page's link to the collector (change notifications against page teardown).
TSAN_DIR ?= build-tsan
TSAN_PROGRAMS = host_tests collector_tests bundle_tests
TSAN_SUITES = ClockAndLog ClockRealTimeFrom MessagingCenterTest NotificationCenter RunLoopTest \
	RunLoopWakeHandler Collector CollectorOnTheBus LineFeed SyntheticSource KernelSource CollectorLink \
	PlanAlerts
empty :=
space := $(empty) $(empty)
TSAN_FILTER = ^($(subst $(space),|,$(strip $(TSAN_SUITES))))\.
check-tsan:
	$(CONFIGURE) -B $(TSAN_DIR) -DBYTARN_TSAN=ON
	cmake --build $(TSAN_DIR) -j$(JOBS) --target $(TSAN_PROGRAMS)
	TSAN_OPTIONS="second_deadlock_stack=1 suppressions=$(CURDIR)/tsan.supp" \
		ctest --test-dir $(TSAN_DIR) --output-on-failure -j$(JOBS) -R '$(TSAN_FILTER)'

# libFuzzer targets (clang, ASan and UBSan), one per reader of untrusted input; see fuzz/.
# New inputs go to a working corpus in the build directory, crashes to its artifacts directory;
# the seeds (fuzz/corpus) and past crashes (fuzz/regressions) are only read.
FUZZ_DIR ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_CHECK_SECONDS ?= 10
FUZZ_TARGETS = PropertyListFuzzer PreferenceStoreFuzzer DesktopEntryFuzzer UsageRowsFuzzer \
	RecordLineFuzzer TrafficHelperLineFuzzer ScriptFuzzer
FUZZ_ARGS ?= -timeout=20 -rss_limit_mb=4096 -print_final_stats=1
fuzz-build:
	CC=clang CXX=clang++ cmake -S . -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBYTARN_FUZZ=ON \
		-DBYTARN_TESTS=OFF -B $(FUZZ_DIR)
	cmake --build $(FUZZ_DIR) -j$(JOBS) --target $(FUZZ_TARGETS)

# Runs every target for $(1) seconds after replaying its seeds and regressions; all targets run,
# and the rule fails if any of them found a crash.
define run-fuzzers
	@status=0; for target in $(FUZZ_TARGETS); do \
		mkdir -p $(FUZZ_DIR)/corpus/$$target $(FUZZ_DIR)/artifacts/$$target fuzz/regressions/$$target; \
		echo "== $$target"; \
		$(FUZZ_DIR)/fuzz/$$target $(FUZZ_ARGS) -max_total_time=$(1) \
			-artifact_prefix=$(FUZZ_DIR)/artifacts/$$target/ $(FUZZ_DIR)/corpus/$$target \
			fuzz/corpus/$$target fuzz/regressions/$$target || status=1; \
	done; exit $$status
endef

fuzz: deps fuzz-build
	$(call run-fuzzers,$(FUZZ_SECONDS))

check-fuzz: fuzz-build
	$(call run-fuzzers,$(FUZZ_CHECK_SECONDS))

# The demo builds only what it runs: the application, the collector and the two bundles (each
# library builds the resources copied beside it), none of the tests.
DEMO_TARGETS = bytarn bytarn-collector Bytarn DataPlan
demo: deps
	$(CONFIGURE) -B $(BUILD_DIR)
	cmake --build $(BUILD_DIR) -j$(JOBS) --target $(DEMO_TARGETS)
	BUILD_DIR=$(BUILD_DIR) scripts/demo

# This machine's real traffic: the traffic helper as root (through sudo), the collector with the
# kernel source and the Settings application in a scratch home. It builds what the demo builds
# and the helper.
live: deps
	$(CONFIGURE) -B $(BUILD_DIR)
	cmake --build $(BUILD_DIR) -j$(JOBS) --target $(DEMO_TARGETS) bytarn-trafficd
	BUILD_DIR=$(BUILD_DIR) scripts/live

# PNGs of the window's pages, light and dark, into docs/screenshots/ (under Xvfb).
screenshots: build
	BUILD_DIR=$(BUILD_DIR) scripts/screenshots

install: build
	cmake --install $(BUILD_DIR) --prefix $(PREFIX)

# The Debian package (debhelper) of the build tree: $(BUILD_DIR)/deb/bytarn_<version>_<arch>.deb,
# checked by lintian. Install it with `sudo apt install ./$(BUILD_DIR)/deb/bytarn_*.deb`.
deb: build
	scripts/build-deb $(BUILD_DIR)

clean:
	rm -rf $(BUILD_DIR) $(ASAN_DIR) $(BENCH_DIR) $(TSAN_DIR) $(FUZZ_DIR)

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

# What watching traffic costs and how much of it is attributed: Bytarn's helper and collector
# against no monitor and against nethogs, on a veth link into a network namespace of the
# benchmark's own (bench/traffic-bench, docs/PERFORMANCE.md). Root only; it skips otherwise.
# The peer monitor and the script's interpreter come from Debian, installed here rather than
# for every build.
.PHONY: bench-traffic
bench-traffic:
	@if [ "$$(id -u)" -ne 0 ]; then \
		echo "bench-traffic: skipped: needs root (BPF programs, cgroups and network namespaces)"; \
		exit 0; \
	fi; \
	set -e; \
	scripts/install-deps nethogs python3 util-linux; \
	cmake -S . -G Ninja -DCMAKE_BUILD_TYPE=Release -DBYTARN_BENCH=ON -B $(BENCH_DIR); \
	cmake --build $(BENCH_DIR) -j$(JOBS) --target bytarn-trafficd bytarn-collector bytarn_traffic_sender \
		bytarn_hook_floor_bpf; \
	bench/traffic-bench --build $(BENCH_DIR) --out bench/results-traffic.json
