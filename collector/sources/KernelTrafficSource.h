#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>

#include "collector/SourceProgress.h"
#include "collector/sources/HelperRestrictions.h"

class UsageCollector;
struct TrafficDelta;

// Feeds a collector with the kernel's per-application traffic, as the privileged traffic helper
// (bytarn-trafficd) serves it on a Unix socket (docs/TRAFFIC.md), on a thread of its own.
//
// Each delta's usage is added to the counters of the local day of its time, together with its
// (epoch, seq) as the source's progress, which the collector's save writes in the same
// transaction. A delta is acknowledged only once a save that covers it has committed, and a
// delta sent again (seq not above the last counted one of its epoch, in memory or in the
// database) is not counted again. A bad line is logged and skipped.
//
// The user's restrictions of mobile data (setRestrictions) go to the helper as its restriction
// lines: on every connection `clear` and the whole set, then each change as it comes, so a
// helper or collector restart loses nothing.
//
// While the helper cannot be reached (no socket, refused, no permission, its refusal, a dropped
// connection) the source logs one line with the reason, tries again every retry interval and
// logs again only when the reason changes, and once when it is connected.
class KernelTrafficSource {
  public:
    static constexpr const char* kDefaultSocketPath = "/run/bytarn/traffic.sock";
    // The name of the source's progress in the database.
    static constexpr const char* kProgressName = "kernel";
    static constexpr double kDefaultRetryInterval = 1.0;
    // A longer line is logged and skipped. A delta of a thousand applications on all three
    // kinds of network takes about a third of it.
    static constexpr std::size_t kMaxLineLength = 1 << 20;

    // The collector must outlive the source.
    KernelTrafficSource(UsageCollector& collector, std::string socketPath,
                        double retryInterval = kDefaultRetryInterval);
    ~KernelTrafficSource();
    KernelTrafficSource(const KernelTrafficSource&) = delete;
    KernelTrafficSource& operator=(const KernelTrafficSource&) = delete;

    // Starts the thread; false, after a log line, when it cannot.
    bool start();
    // Closes the connection and waits for the thread. Unacknowledged deltas stay with the
    // helper, which sends them again to the next collector.
    void stop();

    // What the helper is to keep off cellular networks from now on; sent at once when
    // connected, else on connecting. Any thread.
    void setRestrictions(HelperRestrictions restrictions);

    const std::string& socketPath() const { return socketPath_; }
    bool isConnected() const { return connected_; }
    std::size_t countedDeltas() const { return counted_; }
    std::size_t resentDeltas() const { return resent_; }
    std::size_t rejectedLines() const { return rejected_; }
    // Usage entries left out of the deltas they came in (their neighbours counted).
    std::size_t skippedEntries() const { return skipped_; }

  private:
    struct Connection;

    void run();
    // Serves one connection until it ends; returns why it ended (empty when stopped).
    std::string serve(int fd);
    // Handles one line; returns why the connection must end, or nothing.
    std::optional<std::string> handleLine(Connection& connection, std::string_view line);
    void handleDelta(Connection& connection, TrafficDelta& delta);
    // Logs each skipped entry once per application name (a name the helper keeps sending would
    // otherwise log a line every second).
    void noteSkipped(const TrafficDelta& delta);
    // Acknowledges what is both committed and received on this connection.
    void acknowledge(Connection& connection);
    // Queues the restriction lines this connection has not had yet, and sends.
    void sendRestrictions(Connection& connection);
    // Sends as much of the connection's queued lines as the socket takes now.
    void flush(Connection& connection);
    // Logs a line about reaching the helper unless it is the one logged last.
    void note(const std::string& line);
    void noteUnreachable(const std::string& reason);
    void noteConnected(Connection& connection);
    // Sleeps for the retry interval; false when stopped meanwhile.
    bool pause();
    void drainWake();
    void wake();

    UsageCollector& collector_;
    std::string socketPath_;
    double retryInterval_;
    std::thread thread_;
    int wakeFd_ = -1;  // stop() and commits wake the thread
    std::atomic<bool> stopping_{false};

    // The source's thread only.
    std::optional<SourceProgress> countedProgress_;  // the last delta whose usage is counted
    bool progressLoaded_ = false;
    std::string lastNote_;  // the last line about reaching the helper
    std::set<std::string> skippedNamesLogged_;

    // Written by the collector's save, read by the source's thread.
    std::mutex committedMutex_;
    std::optional<SourceProgress> committed_;

    // Set by setRestrictions, read by the source's thread.
    std::mutex restrictionsMutex_;
    HelperRestrictions restrictions_;

    std::atomic<bool> connected_{false};
    std::atomic<std::size_t> counted_{0};
    std::atomic<std::size_t> resent_{0};
    std::atomic<std::size_t> rejected_{0};
    std::atomic<std::size_t> skipped_{0};
};
