// The root page against a database that another process is writing: rebuilt again and again
// while the collector daemon saves every 100 ms, and rebuilt while a writer holds a rollback
// journal's exclusive lock.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <set>
#include <string>
#include <thread>

#include "bundle/BundleFixture.h"
#include "data/BytarnEntry.h"
#include "faults/FaultTestSupport.h"
#include "host/foundation/Clock.h"
#include "host/messaging/DBusTransport.h"

namespace {

const char* const kService = "org.bytarn.collector";
const char* const kFailedQuery = "BytarnSettings: Unable to SELECT: ";
const char* const kFailedOpen = "BytarnSettings: Unable to open database: ";

class PageUnderFaults : public BundleTest {
  protected:
    PageUnderFaults() { SystemLog::setSendToSyslog(false); }
    ~PageUnderFaults() override { SystemLog::setSendToSyslog(true); }

    // The page's applications and the bytes it shows for each.
    std::map<std::string, std::uint64_t> shownApps() {
        std::map<std::string, std::uint64_t> shown;
        if (!page->apps()) return shown;
        for (const auto& [identifier, record] : *page->apps())
            shown[identifier] = record->usage_wifi() + record->usage_cellular();
        return shown;
    }

    // How many captured lines start with `prefix`; the others are kept in `other`.
    std::size_t countLogged(const std::string& prefix, std::vector<std::string>* other = nullptr) {
        std::size_t count = 0;
        for (const auto& line : SystemLog::takeCaptured()) {
            if (line.rfind(prefix, 0) == 0)
                ++count;
            else if (other)
                other->push_back(line);
        }
        return count;
    }
};

TEST_F(PageUnderFaults, RebuildsWhileTheCollectorSavesEvery100ms) {
    if (!programInstalled("dbus-daemon")) GTEST_SKIP() << "dbus-daemon is not installed";
    // The daemon counts on the real calendar day; the page looks at the same days.
    Clock::useRealTime();
    store("period", "Eternity");
    store("devices", "CW ");
    PrivateBus bus(home.path());
    ASSERT_TRUE(bus.running());
    auto watcher = std::make_shared<DBusMessagingTransport>(bus.address());
    const std::string path = UsageDatabase::defaultPath();
    const std::string log = home.path() + "/collector.log";
    CollectorProcess collector(
        {"run", "--source", "stdin", "--save-interval", "0.1", "--database", path}, bus.address(),
        log);
    ASSERT_TRUE(eventually([&] { return watcher->hasServer(kService); })) << readFile(log);

    // Traffic for a few dozen applications, a line every millisecond or so, all through the
    // soak.
    std::atomic<bool> feeding{true};
    std::atomic<std::uint64_t> sentBytes{0};
    std::thread feeder([&] {
        for (int i = 0; feeding; ++i) {
            std::string app = "org.example.app" + std::to_string(i % 40);
            const char* kind = i % 2 ? "wifi" : "cellular";
            std::uint64_t bytes = 100 + i % 900;
            if (!collector.send("record " + app + " " + kind + " " + std::to_string(bytes) + "\n"))
                break;
            sentBytes += bytes;
            std::this_thread::sleep_for(std::chrono::microseconds(1000));
        }
    });
    ASSERT_TRUE(eventually([&] {
        auto stored = storedTotals(path);
        return stored && !stored->empty();
    })) << readFile(log);

    openPage();
    constexpr int kRebuilds = 2000;
    std::map<std::string, std::uint64_t> previous = shownApps();
    int grew = 0, wentBack = 0, lostApps = 0;
    std::set<std::uint64_t> distinctTotals;
    for (int rebuild = 0; rebuild < kRebuilds; ++rebuild) {
        page->reloadSpecifiers();
        auto shown = shownApps();
        std::uint64_t total = 0;
        for (const auto& [identifier, bytes] : shown) {
            total += bytes;
            auto before = previous.find(identifier);
            if (before != previous.end() && bytes < before->second) ++wentBack;
        }
        for (const auto& [identifier, bytes] : previous)
            if (!shown.count(identifier)) ++lostApps;
        if (shown != previous) ++grew;
        distinctTotals.insert(total);
        previous = std::move(shown);
        // Real time moves on between rebuilds, and so do the daemon's saves; the page's own
        // timer and queued work run as they would in the Settings application.
        RunLoop::main().runUntilIdle();
        std::this_thread::sleep_for(std::chrono::microseconds(1500));
    }
    feeding = false;
    feeder.join();

    std::vector<std::string> other;
    std::size_t failed = countLogged(kFailedQuery, &other);
    failed += [&] {
        std::size_t opens = 0;
        for (const auto& line : other)
            if (line.rfind(kFailedOpen, 0) == 0) ++opens;
        return opens;
    }();
    EXPECT_EQ(failed, 0u) << "no query fails under WAL while the collector writes";
    EXPECT_EQ(wentBack, 0) << "no application's count ever goes down";
    EXPECT_EQ(lostApps, 0) << "no application drops out of the list";
    EXPECT_GT(grew, 20) << "saves landed between the rebuilds";
    EXPECT_TRUE(collector.alive());
    EXPECT_EQ(collector.stop(SIGTERM), 0) << "the daemon ends cleanly\n" << readFile(log);
    std::printf(
        "[ figures  ] soak: %d rebuilds against saves every 100 ms, %d of them saw new "
        "counts, %zu failed queries, %llu bytes fed\n",
        kRebuilds, grew, failed, static_cast<unsigned long long>(sentBytes.load()));
}

// Another holder of the database's exclusive lock: a connection in this process, or one in a
// child process, which writes a row and keeps its transaction open until told to end it.
class LockHolder {
  public:
    virtual ~LockHolder() = default;
    // Ends the transaction: committed, or rolled back.
    virtual void release(bool commit) = 0;
};

bool runOn(sqlite3* db, const char* sql) {
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

const char* const kLockingWrite =
    "BEGIN EXCLUSIVE;"
    "INSERT INTO usage VALUES ('org.example.Late', '2026-12-06', 5000, 0, 0);";

class ConnectionLockHolder : public LockHolder {
  public:
    explicit ConnectionLockHolder(const std::string& path) {
        sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr);
        locked_ = runOn(db_, kLockingWrite);
    }
    ~ConnectionLockHolder() override { sqlite3_close(db_); }
    bool locked() const { return locked_; }
    void release(bool commit) override { runOn(db_, commit ? "COMMIT;" : "ROLLBACK;"); }

  private:
    sqlite3* db_ = nullptr;
    bool locked_ = false;
};

class ProcessLockHolder : public LockHolder {
  public:
    explicit ProcessLockHolder(const std::string& path) {
        int toChild[2], fromChild[2];
        if (pipe(toChild) != 0 || pipe(fromChild) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            // No connection of the parent's crosses the fork: the child opens its own.
            close(toChild[1]);
            close(fromChild[0]);
            sqlite3* db = nullptr;
            sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
            char state = runOn(db, kLockingWrite) ? 'L' : 'F';
            if (write(fromChild[1], &state, 1) != 1) _exit(2);
            char order = 0;
            if (read(toChild[0], &order, 1) != 1) _exit(2);
            bool ended = runOn(db, order == 'C' ? "COMMIT;" : "ROLLBACK;");
            sqlite3_close(db);
            _exit(ended ? 0 : 1);
        }
        close(toChild[0]);
        close(fromChild[1]);
        toChild_ = toChild[1];
        char state = 0;
        locked_ = read(fromChild[0], &state, 1) == 1 && state == 'L';
        close(fromChild[0]);
    }
    ~ProcessLockHolder() override {
        if (toChild_ >= 0) close(toChild_);
        if (pid_ > 0) waitpid(pid_, nullptr, 0);
    }
    bool locked() const { return locked_; }
    void release(bool commit) override {
        char order = commit ? 'C' : 'R';
        ASSERT_EQ(write(toChild_, &order, 1), 1);
        int status = 0;
        ASSERT_EQ(waitpid(pid_, &status, 0), pid_);
        pid_ = -1;
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }

  private:
    pid_t pid_ = -1;
    int toChild_ = -1;
    bool locked_ = false;
};

TEST_F(PageUnderFaults, ExclusiveWriterOnARollbackJournalKeepsTheListUntilReleased) {
    store("period", "Eternity");
    store("devices", "CW ");
    addUsage("org.example.A", "2026-12-06", 1000, 24);
    addUsage("org.example.B", "2026-12-05", 0, 2048);
    addUsage("org.example.C", "2026-12-01", 4096, 0);
    const std::string path = UsageDatabase::defaultPath();

    struct Case {
        const char* name;
        const char* journalMode;
        bool otherProcess;
        bool commit;
        bool queriesFail;
    };
    const Case cases[] = {
        {"rollback journal, writer in this process, committed", "DELETE", false, true, true},
        {"rollback journal, writer in another process, rolled back", "DELETE", true, false, true},
        {"rollback journal, writer in another process, committed", "DELETE", true, true, true},
        // The collector's own mode: the reader goes on with the last committed state.
        {"WAL, writer in another process, committed", "WAL", true, true, false},
    };
    constexpr int kRebuildsDuringLock = 25;
    int failedQueries = 0, keptLists = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sql("DELETE FROM usage WHERE app = 'org.example.Late';");
        {
            // UsageDatabase puts every database it opens in WAL mode; this is another writer's.
            sqlite3* db = nullptr;
            ASSERT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr),
                      SQLITE_OK);
            std::string pragma = std::string("PRAGMA journal_mode=") + c.journalMode + ";";
            EXPECT_TRUE(runOn(db, pragma.c_str()));
            sqlite3_close(db);
        }
        auto mode = tryQuery(path, "PRAGMA journal_mode;");
        ASSERT_TRUE(mode && !mode->empty());
        EXPECT_EQ((*mode)[0][0], c.journalMode == std::string("WAL") ? "wal" : "delete");

        openPage();
        const auto before = rows();
        const auto appsBefore = shownApps();
        ASSERT_EQ(appsBefore.size(), 3u);
        SystemLog::takeCaptured();

        std::unique_ptr<LockHolder> holder;
        if (c.otherProcess) {
            auto process = std::make_unique<ProcessLockHolder>(path);
            ASSERT_TRUE(process->locked());
            holder = std::move(process);
        } else {
            auto connection = std::make_unique<ConnectionLockHolder>(path);
            ASSERT_TRUE(connection->locked());
            holder = std::move(connection);
        }
        for (int rebuild = 0; rebuild < kRebuildsDuringLock; ++rebuild) {
            page->reloadSpecifiers();
            EXPECT_EQ(rows(), before) << "the page shows what it had";
            EXPECT_EQ(shownApps(), appsBefore);
            if (shownApps() == appsBefore) ++keptLists;
        }
        std::vector<std::string> other;
        std::size_t failed = countLogged(kFailedQuery, &other);
        failedQueries += static_cast<int>(failed);
        if (c.queriesFail) {
            EXPECT_EQ(failed, static_cast<std::size_t>(kRebuildsDuringLock))
                << "one line per failed query";
        } else {
            EXPECT_EQ(failed, 0u);
        }
        EXPECT_TRUE(other.empty()) << other.front();

        holder->release(c.commit);
        holder.reset();
        page->reloadSpecifiers();
        EXPECT_EQ(countLogged("BytarnSettings: "), 0u) << "the query works again";
        auto after = shownApps();
        EXPECT_EQ(after.count("org.example.Late"), c.commit ? 1u : 0u);
        after.erase("org.example.Late");
        EXPECT_EQ(after, appsBefore);
        page.reset();
        navigation.reset();
    }
    std::printf(
        "[ figures  ] exclusive writer: %zu cases, %d rebuilds under the lock, %d failed "
        "queries logged, %d rebuilds kept the list\n",
        std::size(cases), static_cast<int>(std::size(cases)) * kRebuildsDuringLock, failedQueries,
        keptLists);
}

}  // namespace
