#include "trafficd/Log.h"

#include <cstdio>
#include <mutex>
#include <utility>

namespace bytarn::trafficd {

namespace {
std::mutex logMutex;
bool capturing = false;
std::vector<std::string> captured;
}  // namespace

std::string printable(std::string_view text, size_t limit) {
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (size_t at = 0; at < text.size(); ++at) {
        if (at == limit) {
            out += "...";
            break;
        }
        auto byte = static_cast<unsigned char>(text[at]);
        if (byte < 0x20 || byte == 0x7f) {
            out += "\\x";
            out += hex[byte >> 4];
            out += hex[byte & 0xf];
        } else {
            out += text[at];
        }
    }
    return out;
}

void logLine(const std::string& line) {
    std::string shown = printable(line, line.size());
    std::lock_guard lock(logMutex);
    if (capturing) captured.push_back(shown);
    std::fprintf(stderr, "bytarn-trafficd: %s\n", shown.c_str());
}

std::vector<std::string> takeCapturedLog() {
    std::lock_guard lock(logMutex);
    return std::exchange(captured, {});
}

void setLogCapture(bool capture) {
    std::lock_guard lock(logMutex);
    capturing = capture;
    captured.clear();
}

}  // namespace bytarn::trafficd
