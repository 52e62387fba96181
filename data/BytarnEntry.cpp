#include "data/BytarnEntry.h"

namespace {

std::uint64_t counter(const BytarnEntry::Dictionary& dictionary, const char* key) {
    auto it = dictionary.find(key);
    return it == dictionary.end() ? 0 : it->second;
}

}  // namespace

void BytarnEntry::updateFromDictionary(const Dictionary& dictionary) {
    usage_wifi_ += counter(dictionary, "usage_wifi");
    usage_cellular_ += counter(dictionary, "usage_cellular");
    usage_unknown_ += counter(dictionary, "usage_unknown");
}

std::uint64_t BytarnEntry::relevantUsage(const std::optional<std::string>& devices) const {
    std::uint64_t sum = 0;
    if (!devices) return sum;
    const std::string& d = *devices;
    if (d.size() > 0 && d[0] == 'C') sum += usage_cellular_;
    if (d.size() > 1 && d[1] == 'W') sum += usage_wifi_;
    if (d.size() > 2 && d[2] == 'U') sum += usage_unknown_;
    return sum;
}
