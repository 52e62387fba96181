#include "collector/sources/RecordLineReader.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "collector/UsageCollector.h"
#include "host/foundation/NSString.h"
#include "host/foundation/SystemLog.h"

namespace {

constexpr std::size_t kMaxAppLength = 255;
constexpr std::uint64_t kMaxBytes = 0x7fff'ffff'ffff'ffffULL;
const char* const kShape = "record APP KIND BYTES";

std::vector<std::string_view> wordsOf(std::string_view line) {
    std::vector<std::string_view> words;
    std::size_t at = 0;
    while (true) {
        std::size_t start = line.find_first_not_of(" \t", at);
        if (start == std::string_view::npos) break;
        std::size_t end = line.find_first_of(" \t", start);
        words.push_back(line.substr(start, end == std::string_view::npos ? end : end - start));
        if (end == std::string_view::npos) break;
        at = end;
    }
    return words;
}

std::string quoted(std::string_view text) {
    // Built by appending: GCC 12 warns (falsely) about overlap in "\"" + std::string(...).
    // Control characters are written as \xNN: a NUL would end the log line early (taking the
    // reason with it), and escape sequences do not belong in a terminal or the journal.
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            static const char kHex[] = "0123456789abcdef";
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 0xf];
        } else {
            out += c;
        }
    }
    out += '"';
    return out;
}

bool fail(std::string* error, std::string why) {
    if (error) *error = std::move(why);
    return false;
}

std::optional<std::uint64_t> readBytes(std::string_view text, std::string* error) {
    std::string expected =
        " (expected a decimal count from 0 to " + std::to_string(kMaxBytes) + ")";
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            fail(error, quoted(text) + " is not a byte count" + expected);
            return std::nullopt;
        }
        unsigned digit = static_cast<unsigned>(c - '0');
        if (value > (kMaxBytes - digit) / 10) {
            fail(error, "the byte count " + std::string(text) + " is too large" + expected);
            return std::nullopt;
        }
        value = value * 10 + digit;
    }
    return value;
}

}  // namespace

bool checkApplicationIdentifier(std::string_view text, std::string* error) {
    if (text.size() > kMaxAppLength)
        return fail(error, "the application identifier is longer than " +
                               std::to_string(kMaxAppLength) + " bytes");
    if (!NSString::isValidUTF8(text))
        return fail(error, "the application identifier is not valid UTF-8");
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7f)
            return fail(error, "the application identifier contains a control character");
    // Identifiers name desktop entries (applications/<identifier>.desktop): nothing that could
    // leave that folder or name a hidden file.
    if (text.find('/') != std::string_view::npos)
        return fail(error, "the application identifier contains '/'");
    if (!text.empty() && text.front() == '.')
        return fail(error, "the application identifier starts with '.'");
    return true;
}

std::optional<RecordLine> parseRecordLine(std::string_view line, std::string* error) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    auto words = wordsOf(line);
    if (words.empty()) {
        fail(error, std::string("empty line (expected ") + kShape + ")");
        return std::nullopt;
    }
    if (words[0] != "record") {
        fail(error, "unknown command " + quoted(words[0]) + " (expected " + kShape + ")");
        return std::nullopt;
    }
    if (words.size() != 4) {
        fail(error, std::string("expected ") + kShape + ", not " + std::to_string(words.size()) +
                        " words");
        return std::nullopt;
    }
    if (!checkApplicationIdentifier(words[1], error)) return std::nullopt;
    auto kind = networkKindNamed(words[2]);
    if (!kind) {
        fail(error,
             "unknown network kind " + quoted(words[2]) + " (expected wifi, cellular or unknown)");
        return std::nullopt;
    }
    auto bytes = readBytes(words[3], error);
    if (!bytes) return std::nullopt;
    return RecordLine{std::string(words[1]), *kind, *bytes};
}

RecordLineReader::RecordLineReader(UsageCollector& collector, int fd, std::string sourceName)
    : collector_(collector), fd_(fd), sourceName_(std::move(sourceName)) {}

RecordLineReader::~RecordLineReader() {
    stop();
}

bool RecordLineReader::start() {
    if (thread_.joinable()) return true;
    stopFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stopFd_ < 0) {
        SystemLog::writef("RecordLineReader: cannot read %s: eventfd: %s", sourceName_.c_str(),
                          strerror(errno));
        return false;
    }
    thread_ = std::thread([this] { run(); });
    return true;
}

void RecordLineReader::stop() {
    if (stopFd_ >= 0) {
        std::uint64_t one = 1;
        [[maybe_unused]] ssize_t written = write(stopFd_, &one, sizeof one);
    }
    waitUntilEnd();
}

void RecordLineReader::waitUntilEnd() {
    if (thread_.joinable()) thread_.join();
    if (stopFd_ >= 0) {
        close(stopFd_);
        stopFd_ = -1;
    }
}

void RecordLineReader::run() {
    std::string pending;
    bool skipping = false;  // inside a line that was too long, up to its end
    char buffer[4096];
    while (true) {
        pollfd fds[2] = {{fd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            SystemLog::writef("RecordLineReader: cannot wait for %s: %s", sourceName_.c_str(),
                              strerror(errno));
            return;
        }
        if (fds[1].revents & POLLIN) return;
        ssize_t count = read(fd_, buffer, sizeof buffer);
        if (count < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            SystemLog::writef("RecordLineReader: cannot read %s: %s", sourceName_.c_str(),
                              strerror(errno));
            return;
        }
        if (count == 0) break;
        std::string_view chunk(buffer, static_cast<std::size_t>(count));
        while (!chunk.empty()) {
            std::size_t newline = chunk.find('\n');
            std::string_view piece = chunk.substr(0, newline);
            if (!skipping) pending.append(piece);
            if (!skipping && pending.size() > kMaxLineLength) {
                ++lineNumber_;
                ++rejected_;
                SystemLog::writef("RecordLineReader: %s line %zu: longer than %zu bytes; skipped",
                                  sourceName_.c_str(), lineNumber_, kMaxLineLength);
                pending.clear();
                skipping = true;
            }
            if (newline == std::string_view::npos) break;
            if (skipping)
                skipping = false;
            else
                handleLine(pending);
            pending.clear();
            chunk.remove_prefix(newline + 1);
        }
    }
    // The last line may lack its newline.
    if (!skipping && !pending.empty()) handleLine(pending);
}

void RecordLineReader::handleLine(std::string_view line) {
    ++lineNumber_;
    std::size_t start = line.find_first_not_of(" \t\r");
    if (start == std::string_view::npos || line[start] == '#') return;
    std::string error;
    auto parsed = parseRecordLine(line, &error);
    if (!parsed) {
        ++rejected_;
        SystemLog::writef("RecordLineReader: %s line %zu: %s", sourceName_.c_str(), lineNumber_,
                          error.c_str());
        return;
    }
    collector_.record(parsed->app, parsed->kind, parsed->bytes);
    ++recorded_;
}
