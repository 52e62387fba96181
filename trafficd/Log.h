// The helper's log: one line per event on standard error, which the journal keeps for a service.
#pragma once

#include <string>
#include <vector>

namespace bytarn::trafficd {

void logLine(const std::string& line);

// Tests read what was logged instead of scraping standard error.
std::vector<std::string> takeCapturedLog();
void setLogCapture(bool capture);

}  // namespace bytarn::trafficd
