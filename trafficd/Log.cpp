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

void logLine(const std::string& line) {
    std::lock_guard lock(logMutex);
    if (capturing) captured.push_back(line);
    std::fprintf(stderr, "bytarn-trafficd: %s\n", line.c_str());
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
