// The collector against a disk that fills up and a directory it cannot write: a save that fails
// keeps its counts in memory, the database keeps what was saved before, and the next save that
// works brings the totals to everything counted, nothing lost and nothing counted twice.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "collector/CollectorTestSupport.h"
#include "collector/UsageCollector.h"
#include "collector/UsageDatabase.h"
#include "faults/FaultTestSupport.h"
#include "faults/FaultVfs.h"
#include "host/foundation/Clock.h"
#include "host/foundation/SystemLog.h"
#include "support/QuietMainLoopTest.h"
#include "support/TestEnvironment.h"

namespace {

namespace fs = std::filesystem;

const char* const kToday = "2026-12-06";

// One recorded amount.
struct Traffic {
    std::string app;
    NetworkKind kind;
    std::uint64_t bytes;
};

// A deterministic batch: `apps` applications from `firstApp` on, each with some of every kind.
std::vector<Traffic> batch(int firstApp, int apps, std::uint64_t scale) {
    std::vector<Traffic> traffic;
    for (int i = firstApp; i < firstApp + apps; ++i) {
        std::string app = "org.example.app" + std::to_string(1000 + i);
        traffic.push_back({app, NetworkKind::Wifi, scale * (i + 1) + 7});
        traffic.push_back({app, NetworkKind::Cellular, scale * (i % 5) + 3});
        if (i % 3 == 0) traffic.push_back({app, NetworkKind::Unknown, scale + i});
    }
    return traffic;
}

class CollectorFaults : public QuietMainLoopTest {
  public:
    // Records into the collector and into what the test expects the database to end up with.
    void record(UsageCollector& collector, const std::vector<Traffic>& traffic) {
        for (const auto& item : traffic) {
            collector.record(item.app, item.kind, item.bytes);
            expected[{item.app, kToday}][static_cast<int>(item.kind)] += item.bytes;
        }
    }

    UsageTotals expected;

  protected:
    static void removeDatabase(const std::string& path) {
        for (const char* suffix : {"", "-wal", "-shm", "-journal"}) fs::remove(path + suffix);
    }

    ScratchHome home;
    TransportsGuard transports{std::make_shared<InProcessMessagingTransport>(), nullptr};
};

// Where a save starts from: nothing at all, or a database that already holds saved rows, some
// of which the save adds to and some of which it leaves alone.
struct Start {
    const char* name;
    int savedApps;    // applications saved before the failing save
    int firstNewApp;  // the failing save's applications start here...
    int newApps;      // ...and run for this many
};

const Start kStarts[] = {
    {"first save creates the database", 0, 0, 40},
    {"save into a database with rows", 60, 30, 60},
};

// The figures the sweep reports, for the reliability notes.
struct SweepFigures {
    int failurePoints = 0;
    int savesFailed = 0;
    int savesThatLanded = 0;  // the fault hit after the commit was safe
    int unreadableUntilNextSave = 0;
    int committedDespiteFailure = 0;  // the failure came after the commit reached the file
    int recovered = 0;
};

// One round: an earlier save, then a save that meets the fault, then saves without it.
// `arm` sets the fault up; the checks run whatever the failing save answered.
void runRound(CollectorFaults& test, const Start& start, FaultVfs& vfs,
              const std::function<void()>& arm, SweepFigures& figures, const std::string& label,
              const std::string& path) {
    SCOPED_TRACE(label);
    UsageCollector collector(path, 200);
    if (start.savedApps > 0) {
        test.record(collector, batch(0, start.savedApps, 1000));
        ASSERT_TRUE(collector.save());
    }
    auto before = storedTotals(path);
    ASSERT_TRUE(before);

    UsageTotals beforeFault = test.expected;
    test.record(collector, batch(start.firstNewApp, start.newApps, 77));
    auto unsavedBefore = collector.unsavedUsage();
    arm();
    bool saved = collector.save();
    vfs.disarm();

    std::string error;
    auto after = storedTotals(path, &error);
    if (!after) {
        // A database whose creation was cut short can be left in a state that a read-only
        // connection cannot open (WAL mode, an empty write-ahead log, no shared-memory file)
        // until a writer opens it again. It holds nothing then, and nothing is lost.
        ++figures.unreadableUntilNextSave;
        EXPECT_TRUE(before->empty()) << "a database with saved rows stays readable: " << error;
        EXPECT_FALSE(saved);
        EXPECT_EQ(collector.unsavedUsage(), unsavedBefore);
    } else if (saved) {
        ++figures.savesThatLanded;
        EXPECT_EQ(integrityCheck(path), "ok");
        EXPECT_EQ(*after, test.expected) << "a save that reports success holds everything";
        EXPECT_TRUE(collector.unsavedUsage().empty());
    } else {
        EXPECT_EQ(integrityCheck(path), "ok");
        EXPECT_EQ(beforeFault, *before);
        // A flush that fails after the commit record is written leaves the commit in the file:
        // then the whole save is there, which the next save finds out. Never a part of it.
        bool untouched = *after == *before;
        bool whole = *after == test.expected;
        EXPECT_TRUE(untouched || whole) << "a failed save leaves what was saved before";
        if (whole && !untouched) ++figures.committedDespiteFailure;
        EXPECT_EQ(collector.unsavedUsage(), unsavedBefore) << "its counts wait in memory";
    }
    if (!saved) ++figures.savesFailed;

    // The fault is gone: more traffic, and the next save brings everything.
    test.record(collector, batch(start.firstNewApp + 5, 10, 13));
    ASSERT_TRUE(collector.save()) << testing::PrintToString(SystemLog::takeCaptured());
    auto recovered = storedTotals(path);
    ASSERT_TRUE(recovered);
    EXPECT_EQ(*recovered, test.expected) << "nothing lost, nothing counted twice";
    EXPECT_EQ(integrityCheck(path), "ok");
    if (*recovered == test.expected) ++figures.recovered;
}

// Counts the writing calls and bytes of the save under test on an unarmed disk.
void measureSave(CollectorFaults& test, const Start& start, FaultVfs& vfs, const std::string& path,
                 std::uint64_t* calls, std::uint64_t* bytes) {
    UsageCollector collector(path);
    if (start.savedApps > 0) {
        test.record(collector, batch(0, start.savedApps, 1000));
        ASSERT_TRUE(collector.save());
    }
    test.record(collector, batch(start.firstNewApp, start.newApps, 77));
    vfs.arm(FaultVfs::kUnlimited);
    ASSERT_TRUE(collector.save());
    *calls = vfs.calls();
    *bytes = vfs.bytesWritten();
    vfs.disarm();
}

TEST_F(CollectorFaults, DiskFullAtEveryWriteOfASaveLosesNothingAndCountsNothingTwice) {
    FaultVfs vfs;
    std::string path = UsageDatabase::defaultPath();
    SweepFigures figures;
    for (const Start& start : kStarts) {
        std::uint64_t calls = 0, bytes = 0;
        measureSave(*this, start, vfs, path, &calls, &bytes);
        ASSERT_GT(calls, 2u) << start.name;
        removeDatabase(path);
        expected.clear();

        // One failure point: a save under the armed fault, then one without; afterwards the next
        // round starts from a clean slate.
        auto round = [&](const std::function<void()>& arm, const std::string& where) {
            ++figures.failurePoints;
            runRound(*this, start, vfs, arm, figures, std::string(start.name) + ", " + where, path);
            EXPECT_GT(vfs.failures(), 0u);
            removeDatabase(path);
            expected.clear();
            SystemLog::takeCaptured();
            return !HasFatalFailure();
        };

        // The disk fills at each writing call in turn, and stays full until the save is over.
        for (std::uint64_t failAt = 0; failAt < calls; ++failAt) {
            if (!round([&] { vfs.arm(failAt); },
                       "writing call " + std::to_string(failAt) + " of " + std::to_string(calls)))
                return;
        }

        // The disk fills in the middle of a write, which lands in part: a torn page.
        std::uint64_t step = std::max<std::uint64_t>(bytes / 48, 1) | 1;
        for (std::uint64_t budget = 0; budget < bytes; budget += step) {
            if (!round([&] { vfs.arm(FaultVfs::kUnlimited, budget); },
                       "full after " + std::to_string(budget) + " of " + std::to_string(bytes) +
                           " bytes"))
                return;
        }
    }
    EXPECT_EQ(figures.recovered, figures.failurePoints);
    EXPECT_GT(figures.savesFailed, 0);
    RecordProperty("failure_points", figures.failurePoints);
    RecordProperty("saves_failed", figures.savesFailed);
    RecordProperty("saves_landed_despite_fault", figures.savesThatLanded);
    RecordProperty("recovered", figures.recovered);
    RecordProperty("committed_despite_failure", figures.committedDespiteFailure);
    std::printf(
        "[ figures  ] disk full: %d failure points, %d saves reported failure (%d of them "
        "committed before a flush failed), %d succeeded, %d left a new database unreadable "
        "until the next save, %d rounds recovered every count exactly once\n",
        figures.failurePoints, figures.savesFailed, figures.committedDespiteFailure,
        figures.savesThatLanded, figures.unreadableUntilNextSave, figures.recovered);
}

TEST_F(CollectorFaults, SaveThatLandedDespiteAFailedFlushIsNotCountedTwice) {
    FaultVfs vfs;
    std::string path = UsageDatabase::defaultPath();
    const Start start{"rows saved before", 10, 0, 15};
    std::uint64_t calls = 0, bytes = 0;
    measureSave(*this, start, vfs, path, &calls, &bytes);
    removeDatabase(path);
    expected.clear();

    UsageCollector collector(path);
    record(collector, batch(0, start.savedApps, 1000));
    ASSERT_TRUE(collector.save());
    record(collector, batch(start.firstNewApp, start.newApps, 77));
    // The last writing call of the save is the flush of its commit.
    vfs.arm(calls - 1);
    EXPECT_FALSE(collector.save());
    vfs.disarm();
    ASSERT_EQ(storedTotals(path), expected)
        << "the commit reached the file before the flush failed";

    // Deleted in between: the application's counts of that save are gone with its rows.
    const std::string deleted = batch(0, 1, 1).front().app;
    ASSERT_TRUE(collector.deleteApplication(deleted));
    std::erase_if(expected, [&](const auto& entry) { return entry.first.first == deleted; });
    record(collector, {{deleted, NetworkKind::Wifi, 5},
                       {batch(3, 1, 1).front().app, NetworkKind::Cellular, 9}});
    ASSERT_TRUE(collector.save());
    EXPECT_EQ(storedTotals(path), expected) << "each count once, the deleted application anew";
    EXPECT_TRUE(collector.unsavedUsage().empty());

    // Later saves go on as usual.
    record(collector, batch(2, 4, 3));
    ASSERT_TRUE(collector.save());
    EXPECT_EQ(storedTotals(path), expected);
}

// Takes the database's directory away from writers for a scope. Permissions do it for an
// ordinary user; privileges that ignore them (root in a container, CAP_DAC_OVERRIDE) get the
// directory moved aside and a plain file put in its place, which no one can create files in.
class UnwritableDirectory {
  public:
    explicit UnwritableDirectory(std::string directory) : directory_(std::move(directory)) {
        ::chmod(directory_.c_str(), 0555);
        std::string probe = directory_ + "/.probe";
        int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        if (fd < 0) {
            method_ = "permissions 0555";
            return;
        }
        ::close(fd);
        ::unlink(probe.c_str());
        ::chmod(directory_.c_str(), 0755);
        fs::rename(directory_, directory_ + ".aside");
        std::ofstream(directory_) << "in the way\n";
        moved_ = true;
        method_ = "a file in place of the directory (permissions do not stop this user)";
    }
    ~UnwritableDirectory() {
        if (moved_) {
            fs::remove(directory_);
            fs::rename(directory_ + ".aside", directory_);
        } else {
            ::chmod(directory_.c_str(), 0755);
        }
    }
    UnwritableDirectory(const UnwritableDirectory&) = delete;
    UnwritableDirectory& operator=(const UnwritableDirectory&) = delete;

    const std::string& method() const { return method_; }

  private:
    std::string directory_;
    bool moved_ = false;
    std::string method_;
};

TEST_F(CollectorFaults, UnwritableDirectoryKeepsCountsUntilASaveWorks) {
    std::string path = UsageDatabase::defaultPath();
    std::string directory = fs::path(path).parent_path().string();
    enum class Start { NoDatabase, SavedBefore, ConnectionOpen };
    struct Case {
        const char* name;
        Start start;
    };
    const Case cases[] = {
        // The first save has to create the database: no save can work during the fault.
        {"no database yet", Start::NoDatabase},
        // An earlier collector saved; once a reader has opened the database, its write-ahead
        // log and shared memory are there, and a new connection may need to create nothing.
        {"a database saved before, opened during the fault", Start::SavedBefore},
        // A long-running collector has its connection and its files open already.
        {"a collector whose connection is open already", Start::ConnectionOpen},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::create_directories(directory);
        if (c.start != Start::NoDatabase) {
            UsageCollector earlier(path);
            record(earlier, batch(0, 20, 500));
            ASSERT_TRUE(earlier.save());
        }
        auto before = storedTotals(path);
        ASSERT_TRUE(before);

        UsageCollector collector(path, 200);
        if (c.start == Start::ConnectionOpen) {
            record(collector, batch(3, 2, 1));
            ASSERT_TRUE(collector.save());
            before = storedTotals(path);
        }
        std::string method;
        int failed = 0;
        {
            UnwritableDirectory fault(directory);
            method = fault.method();
            for (int round = 0; round < 3; ++round) {
                record(collector, batch(round * 7, 25, 11));
                if (!collector.save()) ++failed;
            }
        }
        SCOPED_TRACE(method);
        auto log = SystemLog::takeCaptured();
        EXPECT_EQ(log.size(), static_cast<std::size_t>(failed)) << "one line per failed save";
        for (const auto& line : log)
            EXPECT_NE(line.find("Unable to save usage to " + path), std::string::npos) << line;
        if (c.start == Start::NoDatabase) {
            EXPECT_EQ(failed, 3);
        }
        // Whatever the saves answered during the fault: the earlier rows are all there, and
        // the next save brings the rest.
        auto during = storedTotals(path);
        ASSERT_TRUE(during);
        EXPECT_TRUE(coveredBy(*before, *during));
        ASSERT_TRUE(collector.save());
        EXPECT_EQ(storedTotals(path), expected) << "nothing lost, nothing counted twice";
        EXPECT_EQ(integrityCheck(path), "ok");
        std::printf(
            "[ figures  ] unwritable directory (%s), %s: %d of 3 saves failed, "
            "recovered\n",
            method.c_str(), c.name, failed);
        removeDatabase(path);
        expected.clear();
        SystemLog::takeCaptured();
    }
}

}  // namespace

namespace {

// A source's progress goes with its counts through a save whose commit landed although its
// flush failed: nothing is reported for the failed save, and the next one counts each delta
// once and reports the progress that covers them.
TEST_F(CollectorFaults, ProgressOfASaveThatLandedDespiteAFailedFlushIsReportedOnce) {
    FaultVfs vfs;
    std::string path = UsageDatabase::defaultPath();
    auto deltaOf = [](int app, std::uint64_t bytes) {
        return std::vector<UsageCollector::Traffic>{
            {"org.example.app" + std::to_string(app), NetworkKind::Wifi, bytes}};
    };
    std::uint64_t calls = 0;
    {
        // The same save on a scratch database, to find its flush.
        UsageCollector probe(path + ".probe");
        probe.recordDelta("kernel", {"e", 1}, Clock::now(), deltaOf(1, 10));
        vfs.arm(FaultVfs::kUnlimited);
        ASSERT_TRUE(probe.save());
        calls = vfs.calls();
        vfs.disarm();
    }

    UsageCollector collector(path);
    std::vector<SourceProgress> reported;
    collector.followProgress("kernel",
                             [&](const SourceProgress& progress) { reported.push_back(progress); });
    collector.recordDelta("kernel", {"e", 1}, Clock::now(), deltaOf(1, 10));
    vfs.arm(calls - 1);
    EXPECT_FALSE(collector.save());
    vfs.disarm();
    EXPECT_TRUE(reported.empty());
    EXPECT_EQ(collector.savedProgress("kernel"), (SourceProgress{"e", 1})) << "it landed";

    collector.recordDelta("kernel", {"e", 2}, Clock::now(), deltaOf(1, 5));
    ASSERT_TRUE(collector.save());
    EXPECT_EQ(reported, (std::vector<SourceProgress>{{"e", 2}}));
    EXPECT_EQ(storedTotals(path), (UsageTotals{{{"org.example.app1", kToday}, {15, 0, 0}}}));
    EXPECT_EQ(collector.savedProgress("kernel"), (SourceProgress{"e", 2}));
}

}  // namespace
