// The helper's log: one line per event on standard error, which the journal keeps for a service.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace bytarn::trafficd {

// Writes "bytarn-trafficd: line". Any control character left in line is written as \xNN, so
// no line can hold terminal escapes or start a line of its own.
void logLine(const std::string& line);

// Text a client or a user chose, fit to quote in a log line: control characters as \xNN, at most
// `limit` bytes of the text (then "...").
std::string printable(std::string_view text, size_t limit = 64);

// Tests read what was logged instead of scraping standard error.
std::vector<std::string> takeCapturedLog();
void setLogCapture(bool capture);

}  // namespace bytarn::trafficd
