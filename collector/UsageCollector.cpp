#include "collector/UsageCollector.h"

#include <sqlite3.h>

#include <random>
#include <stdexcept>

#include "collector/UsageDatabase.h"
#include "host/foundation/Clock.h"
#include "host/foundation/NSDateFormatter.h"
#include "host/foundation/SystemLog.h"
#include "host/messaging/CFNotificationCenter.h"

namespace {

const char* const kChangedNotification = BYTARN_IDENTIFIER "/Changed";

// Adds without wrapping: the sum stops at the limit, and a count already beyond it (written by
// someone else) is left as it is rather than lowered.
std::uint64_t saturatingAdd(std::uint64_t count, std::uint64_t bytes) {
    constexpr std::uint64_t limit = UsageCollector::kCounterLimit;
    if (count >= limit) return count;
    return bytes > limit - count ? limit : count + bytes;
}

// A stored counter as the page reads it. Integers are taken bit for bit, as they are written;
// other writers' reals and texts are read as the nearest count.
std::uint64_t storedCount(sqlite3_stmt* statement, int column) {
    switch (sqlite3_column_type(statement, column)) {
        case SQLITE_INTEGER:
            return static_cast<std::uint64_t>(sqlite3_column_int64(statement, column));
        case SQLITE_FLOAT: {
            double value = sqlite3_column_double(statement, column);
            if (!(value > 0)) return 0;
            if (value >= 18446744073709551615.0) return ~std::uint64_t{0};
            return static_cast<std::uint64_t>(value);
        }
        case SQLITE_NULL:
            return 0;
        default: {
            sqlite3_int64 value = sqlite3_column_int64(statement, column);
            return value > 0 ? static_cast<std::uint64_t>(value) : 0;
        }
    }
}

// Takes `saved` out of `counts`, key by key, never below zero; keys left with nothing go.
template <typename Map>
void subtractCounts(Map& counts, const Map& saved) {
    for (const auto& [key, taken] : saved) {
        auto found = counts.find(key);
        if (found == counts.end()) continue;
        auto& left = found->second;
        left.wifi -= std::min(left.wifi, taken.wifi);
        left.cellular -= std::min(left.cellular, taken.cellular);
        left.unknown -= std::min(left.unknown, taken.unknown);
        if (left.wifi == 0 && left.cellular == 0 && left.unknown == 0) counts.erase(found);
    }
}

sqlite3_int64 asColumn(std::uint64_t count) {
    return static_cast<sqlite3_int64>(count);
}

// A prepared statement that finalizes itself.
class Statement {
  public:
    Statement(sqlite3* db, const char* sql) : db_(db) {
        if (sqlite3_prepare_v2(db, sql, -1, &statement_, nullptr) != SQLITE_OK)
            throw std::runtime_error(sqlite3_errmsg(db));
    }
    ~Statement() { sqlite3_finalize(statement_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    sqlite3_stmt* get() const { return statement_; }

    void reset() {
        sqlite3_reset(statement_);
        sqlite3_clear_bindings(statement_);
    }
    void bind(int index, const std::string& text) {
        sqlite3_bind_text(statement_, index, text.c_str(), static_cast<int>(text.size()),
                          SQLITE_TRANSIENT);
    }
    void bind(int index, std::uint64_t count) {
        sqlite3_bind_int64(statement_, index, asColumn(count));
    }
    // True for a row, false when done; throws on error.
    bool step() {
        int rc = sqlite3_step(statement_);
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
        throw std::runtime_error(sqlite3_errmsg(db_));
    }

  private:
    sqlite3* db_;
    sqlite3_stmt* statement_ = nullptr;
};

}  // namespace

UsageCollector::UsageCollector(std::string databasePath, int busyTimeoutMilliseconds)
    : databasePath_(std::move(databasePath)),
      busyTimeoutMilliseconds_(busyTimeoutMilliseconds),
      dayFormatter_(std::make_unique<NSDateFormatter>()),
      nextMark_((std::uint64_t{std::random_device{}()} << 32) ^ std::random_device{}()) {
    dayFormatter_->setLocale("en_US_POSIX");
    dayFormatter_->setDateFormat("yyyy-MM-dd");
}

UsageCollector::~UsageCollector() {
    stopServing();
}

void UsageCollector::record(const std::string& app, NetworkKind kind, std::uint64_t bytes) {
    if (bytes == 0) return;
    std::lock_guard lock(countsMutex_);
    auto day = dayFormatter_->stringFromDate(NSDate::date());
    if (!day) {
        SystemLog::writef("UsageCollector: cannot tell today's date; %llu bytes of %s not counted",
                          static_cast<unsigned long long>(bytes), app.c_str());
        return;
    }
    add(app, *day, kind, bytes);
}

bool UsageCollector::recordDelta(const std::string& source, const SourceProgress& progress,
                                 double instant, const std::vector<Traffic>& traffic) {
    std::lock_guard lock(countsMutex_);
    progress_[source] = progress;
    auto day = dayFormatter_->stringFromDate(NSDate{instant});
    if (!day) {
        SystemLog::writef(
            "UsageCollector: cannot tell the day of %.0f; delta %s %lld of %s not "
            "counted",
            instant, progress.epoch.c_str(), static_cast<long long>(progress.seq), source.c_str());
        return false;
    }
    for (const Traffic& entry : traffic)
        if (entry.bytes != 0) add(entry.app, *day, entry.kind, entry.bytes);
    return true;
}

void UsageCollector::add(const std::string& app, const std::string& day, NetworkKind kind,
                         std::uint64_t bytes) {
    Counts& counts = unsaved_[{app, day}];
    std::uint64_t& counter = kind == NetworkKind::Wifi       ? counts.wifi
                             : kind == NetworkKind::Cellular ? counts.cellular
                                                             : counts.unknown;
    counter = saturatingAdd(counter, bytes);
    ++recordCount_;
}

void UsageCollector::followProgress(const std::string& source, ProgressCommitted committed) {
    std::lock_guard databaseLock(databaseMutex_);
    if (committed)
        progressFollowers_[source] = std::move(committed);
    else
        progressFollowers_.erase(source);
}

std::optional<SourceProgress> UsageCollector::savedProgress(const std::string& source) {
    std::lock_guard databaseLock(databaseMutex_);
    try {
        return SourceProgressTable::read(database().handle(), source);
    } catch (const std::exception&) {
        database_.reset();
        throw;
    }
}

std::vector<UsageRow> UsageCollector::unsavedUsage() const {
    std::lock_guard lock(countsMutex_);
    std::vector<UsageRow> rows;
    for (const auto& [key, counts] : unsaved_)
        rows.push_back({key.first, key.second, counts.wifi, counts.cellular, counts.unknown});
    return rows;
}

UsageDatabase& UsageCollector::database() {
    if (!database_)
        database_ = std::make_unique<UsageDatabase>(databasePath_, busyTimeoutMilliseconds_);
    return *database_;
}

void UsageCollector::forgetSaved(const std::map<Key, Counts>& saved) {
    subtractCounts(unsaved_, saved);
}

bool UsageCollector::write(std::map<Key, Counts>& counts,
                           const std::map<std::string, SourceProgress>& progress, std::int64_t mark,
                           bool* settled, bool* landed) {
    UsageDatabase& usage = database();
    sqlite3* db = usage.handle();
    std::string error;
    // Outside the save's transaction: failing costs the page speed, never a count.
    if (!usage.indexPeriods(UsageDatabase::periodStartsAt(NSDate::date()), &error))
        SystemLog::writef("UsageCollector: cannot index the page's periods: %s", error.c_str());
    if (!usage.execute("BEGIN IMMEDIATE;", &error)) throw std::runtime_error(error);
    bool changed = false;
    try {
        if (uncertain_) {
            // The last committed save's mark tells whether the uncertain save reached the disk;
            // if it did, its counts are in the rows already and must not be added again.
            Statement lastMark(db, "SELECT mark FROM usage_saves WHERE id = 1;");
            *landed =
                lastMark.step() && sqlite3_column_int64(lastMark.get(), 0) == uncertain_->mark;
            if (*landed) subtractCounts(counts, uncertain_->counts);
        }
        *settled = true;
        // Other writers may have left several rows for one application and day; the counts go
        // to the first of them, and the page's query sums them all.
        Statement find(db,
                       "SELECT rowid, usage_wifi, usage_cellular, usage_unknown FROM usage"
                       " WHERE date = ? AND app = ? ORDER BY rowid LIMIT 1;");
        Statement update(db,
                         "UPDATE usage SET usage_wifi = ?, usage_cellular = ?, usage_unknown = ?"
                         " WHERE rowid = ?;");
        Statement insert(db,
                         "INSERT INTO usage (app, date, usage_wifi, usage_cellular, usage_unknown)"
                         " VALUES (?, ?, ?, ?, ?);");
        for (const auto& [key, added] : counts) {
            const auto& [app, day] = key;
            find.reset();
            find.bind(1, day);
            find.bind(2, app);
            bool found = find.step();
            sqlite3_int64 rowid = found ? sqlite3_column_int64(find.get(), 0) : 0;
            Counts old;
            if (found)
                old = {storedCount(find.get(), 1), storedCount(find.get(), 2),
                       storedCount(find.get(), 3)};
            find.reset();
            if (found) {
                Counts sum{saturatingAdd(old.wifi, added.wifi),
                           saturatingAdd(old.cellular, added.cellular),
                           saturatingAdd(old.unknown, added.unknown)};
                if (sum.wifi == old.wifi && sum.cellular == old.cellular &&
                    sum.unknown == old.unknown)
                    continue;
                update.reset();
                update.bind(1, sum.wifi);
                update.bind(2, sum.cellular);
                update.bind(3, sum.unknown);
                sqlite3_bind_int64(update.get(), 4, rowid);
                update.step();
            } else {
                insert.reset();
                insert.bind(1, app);
                insert.bind(2, day);
                insert.bind(3, added.wifi);
                insert.bind(4, added.cellular);
                insert.bind(5, added.unknown);
                insert.step();
            }
            changed = true;
        }
        // The sources' progress goes with the counts it covers: both land or neither.
        for (const auto& [source, reached] : progress)
            SourceProgressTable::write(db, source, reached);
        Statement marking(db, "INSERT OR REPLACE INTO usage_saves (id, mark) VALUES (1, ?);");
        sqlite3_bind_int64(marking.get(), 1, mark);
        marking.step();
        if (!usage.execute("COMMIT;", &error)) throw std::runtime_error(error);
    } catch (...) {
        usage.execute("ROLLBACK;", nullptr);
        throw;
    }
    return changed;
}

bool UsageCollector::save() {
    std::lock_guard databaseLock(databaseMutex_);
    std::map<Key, Counts> saving;
    std::map<std::string, SourceProgress> progress;
    {
        std::lock_guard lock(countsMutex_);
        saving = unsaved_;
        progress = progress_;
    }
    if (saving.empty() && progress == writtenProgress_) return true;

    const auto mark = static_cast<std::int64_t>(nextMark_++ & kCounterLimit);
    bool settled = false, landed = false, changed = false;
    try {
        changed = write(saving, progress, mark, &settled, &landed);
    } catch (const std::exception& error) {
        // The next save opens the database afresh: it may have been moved, or its directory
        // made writable, in the meantime.
        database_.reset();
        if (settled) {
            if (landed) {
                std::lock_guard lock(countsMutex_);
                forgetSaved(uncertain_->counts);
            }
            // This save got as far as writing, so its commit may have landed in spite of the
            // failure; the next save finds out before it adds anything.
            uncertain_ = UncertainSave{mark, std::move(saving)};
        }
        std::size_t kept = 0;
        {
            std::lock_guard lock(countsMutex_);
            kept = unsaved_.size();
        }
        SystemLog::writef(
            "UsageCollector: Unable to save usage to %s: %s (%zu unsaved counts kept for the "
            "next save)",
            databasePath_.c_str(), error.what(), kept);
        return false;
    }

    {
        // What was recorded while the save ran stays for the next one.
        std::lock_guard lock(countsMutex_);
        if (landed) forgetSaved(uncertain_->counts);
        forgetSaved(saving);
    }
    uncertain_.reset();
    writtenProgress_ = progress;
    for (const auto& [source, reached] : progress) {
        auto follower = progressFollowers_.find(source);
        if (follower != progressFollowers_.end()) follower->second(reached);
    }
    if (changed || landed) postChanged();
    return true;
}

bool UsageCollector::deleteApplication(const std::string& app) {
    std::lock_guard databaseLock(databaseMutex_);
    {
        std::lock_guard lock(countsMutex_);
        std::erase_if(unsaved_, [&](const auto& entry) { return entry.first.first == app; });
    }
    // Whether or not an uncertain save landed, none of its counts of the application remain.
    if (uncertain_)
        std::erase_if(uncertain_->counts,
                      [&](const auto& entry) { return entry.first.first == app; });
    bool deleted = true;
    try {
        Statement remove(database().handle(), "DELETE FROM usage WHERE app = ?;");
        remove.bind(1, app);
        remove.step();
    } catch (const std::exception& error) {
        database_.reset();
        SystemLog::writef("UsageCollector: Unable to delete the usage of %s from %s: %s",
                          app.c_str(), databasePath_.c_str(), error.what());
        deleted = false;
    }
    // Even after a failure: the page that asked has dropped the row and should show again
    // what the database still holds.
    postChanged();
    return deleted;
}

void UsageCollector::postChanged() {
    ++changeCount_;
    CFNotificationCenterPostNotification(CFNotificationCenterGetDarwinNotifyCenter(),
                                         kChangedNotification, nullptr, nullptr, true);
}

bool UsageCollector::serve() {
    if (servingTransport_) return true;
    auto transport = MessagingTransport::current();
    bool served = transport->serve(
        BYTARN_COLLECTOR_SERVICE,
        [this](const std::string& name,
               const std::optional<CPDistributedMessagingCenter::UserInfo>& userInfo) {
            handleMessage(name, userInfo);
        });
    if (!served) {
        SystemLog::writef("UsageCollector: cannot serve %s: another server runs it",
                          BYTARN_COLLECTOR_SERVICE);
        return false;
    }
    servingTransport_ = std::move(transport);
    return true;
}

void UsageCollector::stopServing() {
    if (!servingTransport_) return;
    servingTransport_->stopServing(BYTARN_COLLECTOR_SERVICE);
    servingTransport_.reset();
}

void UsageCollector::handleMessage(
    const std::string& name,
    const std::optional<CPDistributedMessagingCenter::UserInfo>& userInfo) {
    {
        std::lock_guard lock(messagesMutex_);
        messages_.push_back({name, userInfo});
        if (messages_.size() > kMessageHistory) messages_.pop_front();
    }
    if (name == "save") {
        save();
    } else if (name == "deleteApplication") {
        const std::string* identifier = nullptr;
        if (userInfo) {
            auto found = userInfo->find("bundleIdentifier");
            if (found != userInfo->end()) identifier = &found->second;
        }
        if (!identifier || identifier->empty()) {
            SystemLog::write(
                "UsageCollector: deleteApplication without a bundleIdentifier; nothing deleted");
            return;
        }
        deleteApplication(*identifier);
    } else {
        SystemLog::writef("UsageCollector: ignoring the unknown message \"%s\"", name.c_str());
    }
}

std::vector<ReceivedMessage> UsageCollector::takeMessages() {
    std::lock_guard lock(messagesMutex_);
    std::vector<ReceivedMessage> taken(messages_.begin(), messages_.end());
    messages_.clear();
    return taken;
}
