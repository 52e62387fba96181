// Benchmarks of the root page against generated usage databases: the bare query (the limit), the
// page's query alone, the full rebuild a user waits for, row sorting, the title service and
// resident memory over many rebuilds. The summary after the table checks the page's targets,
// each as a ratio of two numbers from the same run.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unicode/coll.h>
#include <unicode/locid.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "BenchData.h"
#include "data/BytarnComparisons.h"
#include "data/UsageQuery.h"
#include "host/activator/LAActivator.h"
#include "host/foundation/NSBundle.h"
#include "host/foundation/NSString.h"
#include "host/foundation/RunLoop.h"
#include "host/preferences/PSSpecifier.h"
#include "host/ui/UIImage.h"
#include "host/ui/UIKit.h"
#include "root/BytarnController.h"

namespace {

struct Period {
    const char* label;  // in benchmark names
    const char* value;  // the page's period preference
};
const Period kPeriods[] = {
    {"Today", "Today"}, {"ThisMonth", "This month"}, {"Eternity", "Eternity"}};
const int kSizes[] = {100, 1000, 10000};

// The root page opened as the Settings application opens it: from an entry row, on a navigation
// stack, with the built bundle's resources, in a data set's home.
class RootPage {
  public:
    RootPage(const BenchData::Dataset& data, const std::string& period) : data_(data) {
        BenchData::enter(data);
        RunLoop::main().reset();
        bundle_ = NSBundle::bundleWithPath(BYTARN_BUILD_BUNDLES_DIR "/Bytarn.bundle");
        if (!bundle_) throw std::runtime_error("no bundle in " BYTARN_BUILD_BUNDLES_DIR);
        page_ = std::make_shared<BytarnController>();
        page_->setBundle(bundle_);
        auto entry = PSSpecifier::preferenceSpecifierNamed("Bytarn", nullptr, nullptr, nullptr,
                                                           "BytarnController", PSLinkCell);
        entry->setProperty(UIImage::imageWithContentsOfFile(bundle_->bundlePath() + "/icon.png"),
                           "iconImage");
        page_->setSpecifier(entry);
        page_->setTitle("Bytarn");
        navigation_ = std::make_shared<UINavigationController>();
        navigation_->pushViewController(page_, false);
        UIApplication::sharedApplication().setRootController(navigation_);
        // The first build, with the stored (default) preferences: "Today", by usage, both
        // networks. Every application has rows today, so this also looks up every title once.
        page_->specifiers();
        page_->setPeriod(period);
    }
    ~RootPage() {
        page_.reset();
        navigation_.reset();
        UIApplication::sharedApplication().setRootController(nullptr);
        RunLoop::main().reset();
    }
    RootPage(const RootPage&) = delete;
    RootPage& operator=(const RootPage&) = delete;

    BytarnController& page() { return *page_; }
    const BenchData::Dataset& data() const { return data_; }

    // What the user waits for: the reload, then every row's text as a front end draws it.
    size_t rebuild() {
        page_->reloadSpecifiers();
        size_t shown = 0;
        for (const auto& row : page_->specifiers()) {
            std::optional<std::string> value = row->valueText();
            benchmark::DoNotOptimize(value);
            benchmark::DoNotOptimize(row->name().data());
            ++shown;
        }
        return shown;
    }

    // The application rows of the current list, in list order.
    std::vector<std::shared_ptr<PSSpecifier>> applicationRows() {
        std::vector<std::shared_ptr<PSSpecifier>> rows;
        for (const auto& row : page_->specifiers())
            if (entry(*row)) rows.push_back(row);
        return rows;
    }

  private:
    const BenchData::Dataset& data_;
    std::shared_ptr<NSBundle> bundle_;
    std::shared_ptr<UINavigationController> navigation_;
    std::shared_ptr<BytarnController> page_;
};

// One open page at a time, kept across benchmarks (and across the calls the library makes to
// find an iteration count) for as long as they ask for the same data set.
std::unique_ptr<RootPage> currentPage;

RootPage& pageFor(int applications, const char* period) {
    const BenchData::Dataset& data = BenchData::dataset(applications);
    if (!currentPage || &currentPage->data() != &data) {
        currentPage.reset();
        currentPage = std::make_unique<RootPage>(data, period);
    }
    currentPage->page().setPeriod(std::string(period));
    return *currentPage;
}

struct BareRow {
    std::string app;
    std::int64_t wifi, cellular, unknown;
};

// The limit: the page's statement through the C API into plain structs, over a fresh read-only
// connection, as the page opens one for every query.
std::vector<BareRow> bareQuery(const std::string& path, const std::optional<std::string>& first,
                               const std::optional<std::string>& last) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        throw std::runtime_error("cannot open " + path);
    }
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, usageQuerySQL(), -1, &statement, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        throw std::runtime_error("cannot prepare the usage query");
    }
    auto bind = [&](int index, const std::optional<std::string>& date) {
        if (date)
            sqlite3_bind_text(statement, index, date->c_str(), static_cast<int>(date->size()),
                              SQLITE_TRANSIENT);
        else
            sqlite3_bind_null(statement, index);
    };
    bind(1, first);
    bind(2, last);
    std::vector<BareRow> rows;
    while (sqlite3_step(statement) == SQLITE_ROW) {
        const unsigned char* app = sqlite3_column_text(statement, 0);
        rows.push_back({std::string(reinterpret_cast<const char*>(app),
                                    static_cast<size_t>(sqlite3_column_bytes(statement, 0))),
                        sqlite3_column_int64(statement, 1), sqlite3_column_int64(statement, 2),
                        sqlite3_column_int64(statement, 3)});
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return rows;
}

void BM_BareQuery(benchmark::State& state, int applications, Period period) {
    RootPage& open = pageFor(applications, period.value);
    const auto first = open.page().startDateStr();
    const auto last = open.page().endDateStr();
    size_t rows = bareQuery(open.data().databasePath, first, last).size();  // warm-up
    for (auto _ : state) {
        auto result = bareQuery(open.data().databasePath, first, last);
        rows = result.size();
        benchmark::DoNotOptimize(result.data());
    }
    state.counters["apps"] = static_cast<double>(rows);
}

void BM_ReloadApps(benchmark::State& state, int applications, Period period) {
    RootPage& open = pageFor(applications, period.value);
    open.page().reloadApps();  // warm-up
    for (auto _ : state) {
        open.page().reloadApps();
        benchmark::DoNotOptimize(open.page().apps());
    }
    state.counters["apps"] = open.page().apps() ? open.page().apps()->size() : 0;
}

void BM_Rebuild(benchmark::State& state, int applications, Period period) {
    RootPage& open = pageFor(applications, period.value);
    auto& titles = LAActivator::sharedInstance();
    size_t rows = open.rebuild();  // warm-up
    const unsigned lookupsBefore = titles.fileLookups();
    for (auto _ : state) rows = open.rebuild();
    state.counters["rows"] = static_cast<double>(rows);
    // The title service went to the files this often per rebuild; 0 once every title is known.
    state.counters["title_file_lookups"] = benchmark::Counter(titles.fileLookups() - lookupsBefore,
                                                              benchmark::Counter::kAvgIterations);
}

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// A target's two sides taken in turn, one pair per iteration: the bare query, then the full
// rebuild. On a shared machine a burst of load then hits both sides of a pair rather than one
// benchmark of two; the ratio is the median of the pairs' ratios.
// Alternates the bare query with `other`, one pair per iteration, and reports the medians of each
// side and of the pairs' ratios.
template <class Other>
void pairWithBareQuery(benchmark::State& state, RootPage& open, Other other) {
    using Clock = std::chrono::steady_clock;
    const auto first = open.page().startDateStr();
    const auto last = open.page().endDateStr();
    bareQuery(open.data().databasePath, first, last);  // warm-up
    other();
    std::vector<double> bare, rebuild, ratios;
    for (auto _ : state) {
        auto t0 = Clock::now();
        auto result = bareQuery(open.data().databasePath, first, last);
        benchmark::DoNotOptimize(result.data());
        auto t1 = Clock::now();
        other();
        auto t2 = Clock::now();
        bare.push_back(std::chrono::duration<double>(t1 - t0).count());
        rebuild.push_back(std::chrono::duration<double>(t2 - t1).count());
        ratios.push_back(rebuild.back() / bare.back());
    }
    state.counters["bare_ms"] = median(bare) * 1e3;
    state.counters["rebuild_ms"] = median(rebuild) * 1e3;
    state.counters["ratio"] = median(ratios);
    state.counters["pairs"] = static_cast<double>(ratios.size());
}

void BM_Paired(benchmark::State& state, int applications, Period period) {
    RootPage& open = pageFor(applications, period.value);
    pairWithBareQuery(state, open, [&] { open.rebuild(); });
}

// What every build has to do before it makes a single row: the page's query into its records
// (freeing the previous ones), and each application's title from the title service's cache.
// No row design can bring a rebuild below this.
void BM_PairedFloor(benchmark::State& state, int applications, Period period) {
    RootPage& open = pageFor(applications, period.value);
    open.rebuild();  // every title is in the cache
    const auto first = open.page().startDateStr();
    const auto last = open.page().endDateStr();
    auto& titles = LAActivator::sharedInstance();
    std::optional<AppUsage> records;
    pairWithBareQuery(state, open, [&] {
        auto fresh = queryUsage(open.data().databasePath, first, last);
        if (fresh) records = std::move(*fresh);
        std::size_t length = 0;
        if (records)
            for (const auto& [identifier, record] : *records)
                if (auto title = titles.localizedTitleForListenerName(identifier))
                    length += title->size();
        benchmark::DoNotOptimize(length);
    });
}

// The schema's targets: the page on the collector's schema against the bare query on schema 0
// (the table with its index on (date, app)), the same rows in both files. Each iteration runs, in
// turn, the bare query on schema 0, the bare query on the current schema, the page's query into
// its records (reloadApps) and the page's whole reload; the counters are the medians of each and
// of the pairs' ratios to the first.
void BM_Schema(benchmark::State& state, int applications, Period period) {
    using Clock = std::chrono::steady_clock;
    RootPage& open = pageFor(applications, period.value);
    const auto first = open.page().startDateStr();
    const auto last = open.page().endDateStr();
    const std::string& oldPath = open.data().oldSchemaPath;
    const std::string& path = open.data().databasePath;
    if (bareQuery(oldPath, first, last).size() != bareQuery(path, first, last).size()) {
        state.SkipWithError("the two schemas answer differently");
        return;
    }
    open.rebuild();  // warm-up
    std::vector<double> oldBare, bare, reload, rebuild;
    std::vector<double> bareRatios, reloadRatios, rebuildRatios;
    auto seconds = [](Clock::time_point from, Clock::time_point to) {
        return std::chrono::duration<double>(to - from).count();
    };
    for (auto _ : state) {
        auto t0 = Clock::now();
        benchmark::DoNotOptimize(bareQuery(oldPath, first, last).data());
        auto t1 = Clock::now();
        benchmark::DoNotOptimize(bareQuery(path, first, last).data());
        auto t2 = Clock::now();
        open.page().reloadApps();
        auto t3 = Clock::now();
        open.rebuild();
        auto t4 = Clock::now();
        oldBare.push_back(seconds(t0, t1));
        bare.push_back(seconds(t1, t2));
        reload.push_back(seconds(t2, t3));
        rebuild.push_back(seconds(t3, t4));
        bareRatios.push_back(bare.back() / oldBare.back());
        reloadRatios.push_back(reload.back() / oldBare.back());
        rebuildRatios.push_back(rebuild.back() / oldBare.back());
    }
    state.counters["old_bare_ms"] = median(oldBare) * 1e3;
    state.counters["bare_ms"] = median(bare) * 1e3;
    state.counters["reload_apps_ms"] = median(reload) * 1e3;
    state.counters["rebuild_ms"] = median(rebuild) * 1e3;
    state.counters["bare_ratio"] = median(bareRatios);
    state.counters["reload_apps_ratio"] = median(reloadRatios);
    state.counters["ratio"] = median(rebuildRatios);
    state.counters["pairs"] = static_cast<double>(rebuild.size());
    state.counters["old_file_MB"] = BenchData::fileBytes(oldPath) / 1e6;
    state.counters["file_MB"] = BenchData::fileBytes(path) / 1e6;
}

// The first build after start: every title and icon comes from the files.
void BM_FirstBuild(benchmark::State& state, int applications) {
    RootPage& open = pageFor(applications, "Today");
    auto& titles = LAActivator::sharedInstance();
    unsigned lookups = 0;
    for (auto _ : state) {
        state.PauseTiming();
        titles.clearCache();
        const unsigned before = titles.fileLookups();
        state.ResumeTiming();
        open.rebuild();
        lookups += titles.fileLookups() - before;
    }
    state.counters["title_file_lookups"] =
        benchmark::Counter(lookups, benchmark::Counter::kAvgIterations);
    // And the rebuild after it asks the files nothing.
    const unsigned before = titles.fileLookups();
    open.rebuild();
    state.counters["lookups_next_rebuild"] = titles.fileLookups() - before;
}

// Sorts the page's application rows, shuffled, as the page sorts them (sortRows).
void BM_SortRows(benchmark::State& state, int applications, RowComparison compare) {
    RootPage& open = pageFor(applications, "Today");
    open.rebuild();
    auto shuffled = open.applicationRows();
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(42));
    // The page's sort must give the order of the comparison itself.
    auto expected = shuffled;
    std::stable_sort(expected.begin(), expected.end(), [&](const auto& a, const auto& b) {
        return compare(*a, *b) == NSOrderedAscending;
    });
    auto sorted = shuffled;
    sortRows(sorted, compare);
    if (sorted != expected) {
        state.SkipWithError("sortRows differs from a sort by the comparison");
        return;
    }
    for (auto _ : state) {
        state.PauseTiming();
        auto rows = shuffled;
        state.ResumeTiming();
        sortRows(rows, compare);
        benchmark::DoNotOptimize(rows.data());
    }
    state.counters["rows"] = static_cast<double>(shuffled.size());
}

// The same sort through the comparison alone, one call per comparison, counted.
void BM_SortComparisons(benchmark::State& state, int applications, RowComparison compare) {
    RootPage& open = pageFor(applications, "Today");
    open.rebuild();
    auto shuffled = open.applicationRows();
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(42));
    std::uint64_t comparisons = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto rows = shuffled;
        state.ResumeTiming();
        std::stable_sort(rows.begin(), rows.end(), [&](const auto& a, const auto& b) {
            ++comparisons;
            return compare(*a, *b) == NSOrderedAscending;
        });
        benchmark::DoNotOptimize(rows.data());
    }
    state.counters["rows"] = static_cast<double>(shuffled.size());
    state.counters["comparisons"] =
        benchmark::Counter(static_cast<double>(comparisons), benchmark::Counter::kAvgIterations);
    // Seconds per comparison.
    state.counters["per_comparison"] =
        benchmark::Counter(static_cast<double>(comparisons),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// One name comparison through the host's cached collator.
void BM_CollatorCompare(benchmark::State& state) {
    RootPage& open = pageFor(10000, "Today");
    std::vector<std::string> names;
    for (const auto& row : open.applicationRows()) names.push_back(row->name());
    size_t i = 0;
    const size_t n = names.size();
    for (auto _ : state) {
        auto order =
            NSString::localizedCaseInsensitiveCompare(names[i % n], names[(i * 7919 + 1) % n]);
        benchmark::DoNotOptimize(order);
        ++i;
    }
}

// What making a collator costs, as the host makes its one (ICU keeps the locale's rules loaded
// after the first, so this is the cheap case). A sort that made one per comparison would take at
// least this long per comparison.
void BM_CollatorCreate(benchmark::State& state) {
    for (auto _ : state) {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::Collator> collator(
            icu::Collator::createInstance(icu::Locale::getDefault(), status));
        if (U_FAILURE(status) || !collator) {
            state.SkipWithError("no collator");
            break;
        }
        collator->setStrength(icu::Collator::SECONDARY);
        benchmark::DoNotOptimize(collator.get());
    }
}

// The period's dates and the summary title, as one build computes them.
void BM_PeriodStrings(benchmark::State& state, Period period) {
    RootPage& open = pageFor(100, period.value);
    for (auto _ : state) {
        auto first = open.page().startDateStr();
        auto last = open.page().endDateStr();
        auto title = open.page().settingsSummaryPrefix() + open.page().settingsSummarySuffix();
        benchmark::DoNotOptimize(first);
        benchmark::DoNotOptimize(last);
        benchmark::DoNotOptimize(title);
    }
}

// Resident memory across many rebuilds in a row, after a warm-up.
void BM_RebuildMemory(benchmark::State& state, int applications, Period period) {
    constexpr int kWarmUp = 100;
    constexpr int kRebuilds = 1000;
    RootPage& open = pageFor(applications, period.value);
    long warm = 0, end = 0, peak = 0;
    for (auto _ : state) {
        for (int i = 0; i < kWarmUp; ++i) open.rebuild();
        warm = peak = BenchData::residentKiB();
        for (int i = 0; i < kRebuilds; ++i) {
            open.rebuild();
            if (i % 20 == 0) peak = std::max(peak, BenchData::residentKiB());
        }
        end = BenchData::residentKiB();
        peak = std::max(peak, end);
    }
    state.counters["rebuilds"] = kRebuilds;
    state.counters["rss_warm_KiB"] = static_cast<double>(warm);
    state.counters["rss_end_KiB"] = static_cast<double>(end);
    state.counters["rss_peak_KiB"] = static_cast<double>(peak);
    state.counters["growth_pct"] = warm ? 100.0 * static_cast<double>(end - warm) / warm : 0.0;
    state.counters["peak_growth_pct"] =
        warm ? 100.0 * static_cast<double>(peak - warm) / warm : 0.0;
}

std::string name(const std::string& what, const Period& period, int applications) {
    return what + "/" + period.label + "/apps:" + std::to_string(applications);
}

void registerAll() {
    // Grouped by data set and period, so that a ratio's two sides run next to each other.
    for (int applications : kSizes) {
        for (const Period& period : kPeriods) {
            benchmark::RegisterBenchmark(name("bare_query", period, applications).c_str(),
                                         BM_BareQuery, applications, period)
                ->Unit(benchmark::kMillisecond);
            benchmark::RegisterBenchmark(name("reload_apps", period, applications).c_str(),
                                         BM_ReloadApps, applications, period)
                ->Unit(benchmark::kMillisecond);
            benchmark::RegisterBenchmark(name("rebuild", period, applications).c_str(), BM_Rebuild,
                                         applications, period)
                ->Unit(benchmark::kMillisecond);
        }
    }
    // The targets' ratios, paired.
    benchmark::RegisterBenchmark("paired/Eternity/apps:1000", BM_Paired, 1000, kPeriods[2])
        ->Unit(benchmark::kMillisecond)
        ->MinTime(8.0)
        ->Repetitions(1);
    // The schema's targets, "Eternity" first: its pairs take the longest.
    for (const Period& period : {kPeriods[2], kPeriods[1], kPeriods[0]})
        benchmark::RegisterBenchmark(name("schema", period, 1000).c_str(), BM_Schema, 1000, period)
            ->Unit(benchmark::kMillisecond)
            ->MinTime(period.label == std::string("Today") ? 3.0 : 8.0)
            ->Repetitions(1);
    benchmark::RegisterBenchmark("paired/Today/apps:10000", BM_Paired, 10000, kPeriods[0])
        ->Unit(benchmark::kMillisecond)
        ->MinTime(4.0)
        ->Repetitions(1);
    benchmark::RegisterBenchmark("paired_floor/Today/apps:10000", BM_PairedFloor, 10000,
                                 kPeriods[0])
        ->Unit(benchmark::kMillisecond)
        ->MinTime(4.0)
        ->Repetitions(1);
    benchmark::RegisterBenchmark("first_build/Today/apps:10000", BM_FirstBuild, 10000)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("sort_by_name/apps:10000", BM_SortRows, 10000, compareName)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("sort_by_usage/apps:10000", BM_SortRows, 10000, compareUsage)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("sort_by_name_comparisons/apps:10000", BM_SortComparisons, 10000,
                                 compareName)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("sort_by_usage_comparisons/apps:10000", BM_SortComparisons, 10000,
                                 compareUsage)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("collator_compare", BM_CollatorCompare);
    benchmark::RegisterBenchmark("collator_create", BM_CollatorCreate)
        ->Unit(benchmark::kMicrosecond);
    for (const Period& period : kPeriods)
        benchmark::RegisterBenchmark((std::string("period_strings/") + period.label).c_str(),
                                     BM_PeriodStrings, period)
            ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("rebuild_memory/Today/apps:1000", BM_RebuildMemory, 1000,
                                 kPeriods[0])
        ->Unit(benchmark::kMillisecond)
        ->Iterations(1)
        ->Repetitions(1);
}

// The console table, then the targets: each a ratio (or a count) of numbers from this run. With
// repetitions, a benchmark stands for its median.
class TargetReporter : public benchmark::ConsoleReporter {
  public:
    // Colours only on a terminal, so that a saved log reads plainly.
    TargetReporter() : ConsoleReporter(isatty(fileno(stdout)) ? OO_ColorTabular : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (run.run_type == Run::RT_Aggregate && !median) continue;
            Result& result = results_[run.run_name.function_name];
            if (result.fromMedian && !median) continue;
            result.fromMedian = median;
            result.seconds =
                run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
            result.counters.clear();
            for (const auto& [key, counter] : run.counters) result.counters[key] = counter.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void printTargets() {
        std::printf("\nTargets (median real time when repeated):\n");
        paired("paired/Eternity/apps:1000", 1.3);
        // The schema: the page's reload on the collector's schema against the bare query on
        // schema 0, and the file's size against schema 0's, the same rows in both.
        schema("schema/Eternity/apps:1000", 0.4);
        schema("schema/ThisMonth/apps:1000", 0);
        schema("schema/Today/apps:1000", 2.0);
        if (Result* eternity = find("schema/Eternity/apps:1000")) {
            double old = eternity->counters["old_file_MB"], now = eternity->counters["file_MB"];
            std::printf(
                "  schema file, 1,000 applications: %.1f MB / %.1f MB in schema 0 = %.3f "
                "(target <= 2.2: %s)\n",
                now, old, now / old, now <= 2.2 * old ? "ok" : "MISSED");
        }
        // The same ratios from the separate benchmarks (their medians, taken minutes apart).
        ratio("rebuild/Eternity/apps:1000", "bare_query/Eternity/apps:1000", 0);
        // For scale: the page's own query against the limit.
        ratio("reload_apps/Eternity/apps:1000", "bare_query/Eternity/apps:1000", 0);
        if (auto sort = find("sort_by_name_comparisons/apps:10000")) {
            double perComparison = sort->counters["per_comparison"];
            std::printf("  sort_by_name_comparisons: %.0f comparisons, %.1f ns each",
                        sort->counters["comparisons"], perComparison * 1e9);
            if (auto compare = find("collator_compare"))
                std::printf("; one cached-collator compare %.1f ns (x%.2f)", compare->seconds * 1e9,
                            perComparison / compare->seconds);
            // A collator made per comparison would cost at least its making at every one.
            if (auto create = find("collator_create"))
                std::printf("; making a collator %.1f ns (comparison/making %.3f): %s",
                            create->seconds * 1e9, perComparison / create->seconds,
                            perComparison < create->seconds ? "one collator, ok" : "MISSED");
            std::printf("\n");
        }
        if (auto memory = find("rebuild_memory/Today/apps:1000")) {
            double growth = memory->counters["growth_pct"];
            std::printf(
                "  rebuild_memory: %.0f rebuilds, RSS %.0f -> %.0f KiB (%+.2f%%, peak %+.2f%%), "
                "target within 2%%: %s\n",
                memory->counters["rebuilds"], memory->counters["rss_warm_KiB"],
                memory->counters["rss_end_KiB"], growth, memory->counters["peak_growth_pct"],
                growth <= 2.0 && growth >= -2.0 ? "ok" : "MISSED");
        }
        for (const auto& [benchmarkName, result] : results_) {
            if (!benchmarkName.starts_with("rebuild/")) continue;
            auto it = result.counters.find("title_file_lookups");
            if (it != result.counters.end() && it->second != 0)
                std::printf("  %s: %.2f title file look-ups per rebuild: MISSED\n",
                            benchmarkName.c_str(), it->second);
        }
        if (auto first = find("first_build/Today/apps:10000"))
            std::printf(
                "  title service: %.0f file look-ups on a cold build, %.0f on the next: %s\n",
                first->counters["title_file_lookups"], first->counters["lookups_next_rebuild"],
                first->counters["lookups_next_rebuild"] == 0 ? "ok" : "MISSED");
    }

  private:
    struct Result {
        double seconds = 0;
        bool fromMedian = false;
        std::map<std::string, double> counters;
    };
    Result* find(const std::string& benchmarkName) {
        auto it = results_.find(benchmarkName);
        return it == results_.end() ? nullptr : &it->second;
    }
    void paired(const char* benchmarkName, double target) {
        Result* result = find(benchmarkName);
        if (!result) return;
        double value = result->counters["ratio"];
        std::printf(
            "  %s: rebuild %.3f ms / bare query %.3f ms, median of %.0f paired ratios "
            "%.3f (target <= %.1f: %s)\n",
            benchmarkName, result->counters["rebuild_ms"], result->counters["bare_ms"],
            result->counters["pairs"], value, target, value <= target ? "ok" : "MISSED");
    }
    void schema(const char* benchmarkName, double target) {
        Result* result = find(benchmarkName);
        if (!result) return;
        auto& c = result->counters;
        std::printf(
            "  %s: reload %.3f ms (query into records %.3f ms, bare query %.3f ms) / bare query "
            "on schema 0 %.3f ms, median of %.0f paired ratios %.3f (records %.3f, bare %.3f)",
            benchmarkName, c["rebuild_ms"], c["reload_apps_ms"], c["bare_ms"], c["old_bare_ms"],
            c["pairs"], c["ratio"], c["reload_apps_ratio"], c["bare_ratio"]);
        if (target > 0)
            std::printf(" (target <= %.1f: %s)", target, c["ratio"] <= target ? "ok" : "MISSED");
        std::printf("\n");
    }
    void ratio(const char* numerator, const char* denominator, double target) {
        Result* top = find(numerator);
        Result* bottom = find(denominator);
        if (!top || !bottom || bottom->seconds <= 0) return;
        double value = top->seconds / bottom->seconds;
        std::printf("  %s / %s = %.3f ms / %.3f ms = %.3f", numerator, denominator,
                    top->seconds * 1e3, bottom->seconds * 1e3, value);
        if (target > 0)
            std::printf(" (target <= %.1f: %s)", target, value <= target ? "ok" : "MISSED");
        std::printf("\n");
    }

    std::map<std::string, Result> results_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    BenchData::pinEnvironment();
    registerAll();
    TargetReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    // The page goes while the host's singletons it unregisters from are still there.
    currentPage.reset();
    reporter.printTargets();
    benchmark::Shutdown();
    return 0;
}
