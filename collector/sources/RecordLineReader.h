#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "collector/NetworkKind.h"

class UsageCollector;

// One line of a traffic feed: "record APP KIND BYTES".
struct RecordLine {
    std::string app;
    NetworkKind kind = NetworkKind::Unknown;
    std::uint64_t bytes = 0;

    bool operator==(const RecordLine&) const = default;
};

// Whether text is an application identifier as the collector takes it from a traffic source:
// UTF-8 without control characters or '/', not starting with '.', at most 255 bytes. The reason
// in *error when it is not.
bool checkApplicationIdentifier(std::string_view text, std::string* error);

// Reads "record APP KIND BYTES": words separated by spaces or tabs, APP an application
// identifier (as checkApplicationIdentifier takes it), KIND wifi, cellular or
// unknown, BYTES a decimal count from 0 to 2^63-1. Nothing, with the reason in *error, for
// anything else.
std::optional<RecordLine> parseRecordLine(std::string_view line, std::string* error);

// Feeds a collector from "record" lines read from a file descriptor (standard input, a pipe)
// on a thread of its own. Blank lines and "#" comments are skipped; a malformed line is logged
// with its number and skipped. The reader ends at the end of the input or at stop().
class RecordLineReader {
  public:
    static constexpr std::size_t kMaxLineLength = 4096;

    // The collector must outlive the reader; the descriptor stays open and the caller's.
    RecordLineReader(UsageCollector& collector, int fd, std::string sourceName);
    ~RecordLineReader();
    RecordLineReader(const RecordLineReader&) = delete;
    RecordLineReader& operator=(const RecordLineReader&) = delete;

    // Starts the thread; false, after a log line, when it cannot.
    bool start();
    // Stops reading (a line in progress is dropped) and waits for the thread.
    void stop();
    // Waits until the input ends (or stop() from another thread).
    void waitUntilEnd();

    std::size_t recordedLines() const { return recorded_; }
    std::size_t rejectedLines() const { return rejected_; }

  private:
    void run();
    void handleLine(std::string_view line);

    UsageCollector& collector_;
    int fd_;
    std::string sourceName_;
    int stopFd_ = -1;
    std::thread thread_;
    std::size_t lineNumber_ = 0;
    std::atomic<std::size_t> recorded_{0};
    std::atomic<std::size_t> rejected_{0};
};
