#include "host/foundation/SystemLog.h"

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>

namespace SystemLog {

namespace {

// A process that never reads its capture buffer (the Settings application outside tests) must
// not grow without bound, so only the most recent lines are kept.
constexpr std::size_t kCapturedLineLimit = 10000;

std::mutex captureMutex;
std::deque<std::string> captured;
std::atomic<bool> echoToStandardError{true};
std::atomic<bool> sendToSyslog{true};
std::once_flag syslogOpened;

// A service's standard error may be the journal itself: systemd names that stream's device and
// inode in JOURNAL_STREAM (systemd.exec(5)). A syslog copy would put every line there twice.
bool standardErrorIsTheJournal() {
    static const bool journal = [] {
        const char* stream = std::getenv("JOURNAL_STREAM");
        struct stat status {};
        unsigned long long device = 0, inode = 0;
        return stream && fstat(STDERR_FILENO, &status) == 0 &&
               std::sscanf(stream, "%llu:%llu", &device, &inode) == 2 && device == status.st_dev &&
               inode == status.st_ino;
    }();
    return journal;
}

}  // namespace

void write(const std::string& line) {
    if (sendToSyslog.load() && !(echoToStandardError.load() && standardErrorIsTheJournal())) {
        std::call_once(syslogOpened, [] { openlog("bytarn", LOG_PID, LOG_USER); });
        syslog(LOG_NOTICE, "%s", line.c_str());
    }

    std::lock_guard lock(captureMutex);
    if (echoToStandardError.load()) {
        // One write per line, under the lock, so lines from several threads never interleave.
        std::string withNewline = line + "\n";
        std::fwrite(withNewline.data(), 1, withNewline.size(), stderr);
        std::fflush(stderr);
    }
    captured.push_back(line);
    if (captured.size() > kCapturedLineLimit) captured.pop_front();
}

void writef(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    va_list measuring;
    va_copy(measuring, arguments);
    int length = std::vsnprintf(nullptr, 0, format, measuring);
    va_end(measuring);
    std::string line;
    if (length > 0) {
        line.resize(static_cast<std::size_t>(length) + 1);
        std::vsnprintf(line.data(), line.size(), format, arguments);
        line.resize(static_cast<std::size_t>(length));
    } else if (length < 0) {
        line = std::string("(unformattable log line: ") + format + ")";
    }
    va_end(arguments);
    write(line);
}

std::vector<std::string> takeCaptured() {
    std::lock_guard lock(captureMutex);
    std::vector<std::string> lines(captured.begin(), captured.end());
    captured.clear();
    return lines;
}

void setEchoToStandardError(bool echo) {
    echoToStandardError.store(echo);
}

void setSendToSyslog(bool send) {
    sendToSyslog.store(send);
}

}  // namespace SystemLog
