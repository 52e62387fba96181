#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "collector/NetworkKind.h"
#include "collector/SourceProgress.h"
#include "collector/SyntheticTraffic.h"
#include "host/messaging/CPDistributedMessagingCenter.h"

class MessagingTransport;
class NSDateFormatter;
class UsageDatabase;

// A message the collector's centre received, as it came.
struct ReceivedMessage {
    std::string name;
    std::optional<CPDistributedMessagingCenter::UserInfo> userInfo;

    bool operator==(const ReceivedMessage&) const = default;
};

// The usage collector: per-day, per-application byte counters for Wi-Fi, cellular and unknown
// networks. Traffic is counted in memory, on the local calendar day the clock shows when it is
// recorded, and added to the usage database by save(). Counts that are not saved yet stay in
// memory until a save succeeds, so a failed save (an unwritable directory, a full disk, a lock
// held too long) loses nothing. Counters saturate at the largest value a database column holds
// as a non-negative integer and never go backwards.
//
// record() may be called from any thread. save(), deleteApplication() and the message handler
// run on the main thread; they are serialised among themselves all the same.
class UsageCollector {
  public:
    // The largest count a counter holds: SQLite's largest integer.
    static constexpr std::uint64_t kCounterLimit = 0x7fff'ffff'ffff'ffffULL;
    // The received messages kept for takeMessages(); older ones are dropped first.
    static constexpr std::size_t kMessageHistory = 1000;

    // Counts into the database at `databasePath`, which is opened at the first save.
    explicit UsageCollector(std::string databasePath, int busyTimeoutMilliseconds = 5000);
    ~UsageCollector();
    UsageCollector(const UsageCollector&) = delete;
    UsageCollector& operator=(const UsageCollector&) = delete;

    const std::string& databasePath() const { return databasePath_; }

    // Adds bytes to today's counter of the application and network kind. Thread-safe.
    void record(const std::string& app, NetworkKind kind, std::uint64_t bytes);

    // One application's bytes on one kind of network.
    struct Traffic {
        std::string app;
        NetworkKind kind = NetworkKind::Unknown;
        std::uint64_t bytes = 0;
    };

    // A delta from a source that may send it again: adds its traffic, as record() does, to the
    // counters of the local calendar day of `instant` (seconds since 1970), and sets the
    // source's progress to `progress`. Both happen at once as far as save() is concerned, so a
    // save writes a progress together with exactly the counts it covers. False, after a log
    // line, when the day cannot be told (the traffic is then not counted; the progress is set
    // all the same). Thread-safe.
    bool recordDelta(const std::string& source, const SourceProgress& progress, double instant,
                     const std::vector<Traffic>& traffic);

    // Calls `committed` after every save that wrote the source's progress, once that save has
    // committed, with the progress it wrote. It runs on the saving thread while the collector
    // holds its database lock, so it must not call back into the collector. Following with
    // nullptr stops it; once that returns, no call is running or will come.
    using ProgressCommitted = std::function<void(const SourceProgress&)>;
    void followProgress(const std::string& source, ProgressCommitted committed);

    // The source's progress in the database: what the last committed save wrote. Throws
    // std::runtime_error with the database's message when it cannot be read.
    std::optional<SourceProgress> savedProgress(const std::string& source);

    // The counts not saved yet, one row per application and day, ordered by both.
    std::vector<UsageRow> unsavedUsage() const;

    // Adds the unsaved counts to the database in one transaction, to the first row of each
    // application and day or to a new row. On success they are cleared and, when a row changed,
    // the change notification is posted; on failure one line is logged and they stay.
    bool save();

    // Deletes every row of the application and its unsaved counts, then posts the change
    // notification. False, after a log line, when the database could not be changed.
    bool deleteApplication(const std::string& app);

    // How many times the database's usage has changed (a save that changed a row, a deleted
    // application) since the collector was made: the daemon's cue to check the plans again.
    // Thread-safe.
    std::uint64_t changeCount() const { return changeCount_; }
    // How many times counts were added in memory since the collector was made: the daemon's cue
    // that the unsaved counts grew, which the plans see before they are saved. Thread-safe.
    std::uint64_t recordCount() const { return recordCount_; }

    // Serves the collector's messaging centre on the current transport: "save" and
    // "deleteApplication" with the user info "bundleIdentifier". False when it cannot.
    bool serve();
    void stopServing();

    // What the server does with one message; anything it does not understand is logged and
    // otherwise ignored.
    void handleMessage(const std::string& name,
                       const std::optional<CPDistributedMessagingCenter::UserInfo>& userInfo);

    // The messages received since the last call, oldest first. Thread-safe.
    std::vector<ReceivedMessage> takeMessages();

  private:
    struct Counts {
        std::uint64_t wifi = 0;
        std::uint64_t cellular = 0;
        std::uint64_t unknown = 0;
    };
    using Key = std::pair<std::string, std::string>;  // application, day

    // A save that reported a failure after it had written: its commit may have reached the
    // disk all the same (a flush that fails after the commit record is written). Its counts are
    // still among the unsaved ones; the next save looks for its mark to tell.
    struct UncertainSave {
        std::int64_t mark = 0;
        std::map<Key, Counts> counts;
    };

    // Writes the counts with the mark; throws with the database's message on failure. Before
    // it writes, it settles an uncertain save: *settled is set once that is known, *landed when
    // that save did reach the disk (its counts are then taken out of `counts`). Returns whether
    // any row changed.
    bool write(std::map<Key, Counts>& counts, const std::map<std::string, SourceProgress>& progress,
               std::int64_t mark, bool* settled, bool* landed);
    // Adds bytes to a counter. Caller holds countsMutex_.
    void add(const std::string& app, const std::string& day, NetworkKind kind, std::uint64_t bytes);
    // Takes saved counts out of the unsaved ones. Caller holds countsMutex_.
    void forgetSaved(const std::map<Key, Counts>& saved);
    UsageDatabase& database();
    void postChanged();

    std::string databasePath_;
    int busyTimeoutMilliseconds_;

    // Unsaved counts, and the day formatter that record() uses under the same lock.
    mutable std::mutex countsMutex_;
    std::map<Key, Counts> unsaved_;
    std::unique_ptr<NSDateFormatter> dayFormatter_;
    // Each source's latest progress, set with the counts it covers.
    std::map<std::string, SourceProgress> progress_;

    // The database connection, opened at the first save and dropped after a failure, and the
    // save whose outcome is not known yet.
    std::mutex databaseMutex_;
    std::unique_ptr<UsageDatabase> database_;
    std::optional<UncertainSave> uncertain_;
    std::uint64_t nextMark_;
    // The progress the last committed save wrote, and who is told after a commit.
    std::map<std::string, SourceProgress> writtenProgress_;
    std::map<std::string, ProgressCommitted> progressFollowers_;

    std::mutex messagesMutex_;
    std::deque<ReceivedMessage> messages_;

    std::shared_ptr<MessagingTransport> servingTransport_;
    std::atomic<std::uint64_t> changeCount_{0};
    std::atomic<std::uint64_t> recordCount_{0};
};
