#include "trafficd/cgroups/ApplicationName.h"

#include <algorithm>

namespace bytarn::trafficd {

namespace {

// The length of the well-formed UTF-8 sequence at the start of text (the Unicode standard's
// table 3-7: no overlong forms, no surrogates, nothing past U+10FFFF), or 0.
std::size_t sequenceLength(std::string_view text) {
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    auto continuation = [&](std::size_t i, unsigned char low = 0x80, unsigned char high = 0xbf) {
        return i < text.size() && byte(i) >= low && byte(i) <= high;
    };
    unsigned char first = byte(0);
    if (first < 0x80) return 1;
    if (first >= 0xc2 && first <= 0xdf) return continuation(1) ? 2 : 0;
    if (first >= 0xe0 && first <= 0xef) {
        unsigned char low = first == 0xe0 ? 0xa0 : 0x80, high = first == 0xed ? 0x9f : 0xbf;
        return continuation(1, low, high) && continuation(2) ? 3 : 0;
    }
    if (first >= 0xf0 && first <= 0xf4) {
        unsigned char low = first == 0xf0 ? 0x90 : 0x80, high = first == 0xf4 ? 0x8f : 0xbf;
        return continuation(1, low, high) && continuation(2) && continuation(3) ? 4 : 0;
    }
    return 0;
}

bool isControl(unsigned char c) {
    return c < 0x20 || c == 0x7f;
}

}  // namespace

bool isCleanApplicationName(std::string_view name) {
    if (name.empty() || name.size() > maxApplicationNameBytes || name.front() == '.') return false;
    for (std::size_t at = 0; at < name.size();) {
        std::size_t length = sequenceLength(name.substr(at));
        if (length == 0 || (length == 1 && (isControl(name[at]) || name[at] == '/'))) return false;
        at += length;
    }
    return true;
}

std::string cleanApplicationName(std::string_view name) {
    if (name.empty()) return "unknown";
    std::string clean;
    clean.reserve(std::min(name.size(), maxApplicationNameBytes));
    for (std::size_t at = 0; at < name.size();) {
        std::size_t length = sequenceLength(name.substr(at));
        if (clean.size() + std::max<std::size_t>(length, 1) > maxApplicationNameBytes) break;
        if (length == 0 || (length == 1 && isControl(name[at]))) {
            clean += '?';
            at += 1;
            continue;
        }
        if (length == 1 && name[at] == '/')
            clean += '_';
        else
            clean.append(name.substr(at, length));
        at += length;
    }
    if (clean.front() == '.') clean.front() = '_';
    return clean;
}

}  // namespace bytarn::trafficd
