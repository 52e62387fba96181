// Application names as the helper sends them. A user chooses the names of its own programs
// (prctl(PR_SET_NAME) takes any bytes) and cgroups, so every name is made safe here, once, before
// it reaches a delta: the collector refuses a name it cannot store, and the title service turns a
// name into a file name.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace bytarn::trafficd {

// The longest name the collector takes, in bytes.
constexpr std::size_t maxApplicationNameBytes = 255;

// Whether name is one the collector and the title service take unchanged: not empty, valid
// UTF-8, no control character (below 0x20, or 0x7f), no '/', not starting with '.', and at most
// maxApplicationNameBytes bytes.
bool isCleanApplicationName(std::string_view name);

// name made clean: each byte of an ill-formed UTF-8 sequence and each control character becomes
// '?', each '/' and a leading '.' become '_', and the result is cut to maxApplicationNameBytes on
// a character boundary. An empty name becomes "unknown". A clean name comes back unchanged.
std::string cleanApplicationName(std::string_view name);

}  // namespace bytarn::trafficd
