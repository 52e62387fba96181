#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

// One application's traffic over the reporting period: bytes on Wi-Fi, on the cellular network
// and on networks of unknown kind. All arithmetic is unsigned 64-bit and wraps; nothing
// saturates. A query builds new entries every time; nothing changes an entry once built.
class BytarnEntry {
  public:
    // Counters by name: "usage_wifi", "usage_cellular", "usage_unknown".
    using Dictionary = std::map<std::string, std::uint64_t>;

    BytarnEntry() = default;
    // All counters start at 0, then the dictionary's numbers are added.
    explicit BytarnEntry(const Dictionary& dictionary) { updateFromDictionary(dictionary); }

    // Adds, never replaces: each named counter grows by the dictionary's number; an absent key
    // adds 0.
    void updateFromDictionary(const Dictionary& dictionary);

    std::uint64_t usage_wifi() const { return usage_wifi_; }
    std::uint64_t usage_cellular() const { return usage_cellular_; }
    std::uint64_t usage_unknown() const { return usage_unknown_; }
    void setUsage_wifi(std::uint64_t v) { usage_wifi_ = v; }
    void setUsage_cellular(std::uint64_t v) { usage_cellular_ = v; }
    void setUsage_unknown(std::uint64_t v) { usage_unknown_ = v; }

    // Wi-Fi plus cellular; unknown networks are not part of it.
    std::uint64_t usage() const { return usage_cellular_ + usage_wifi_; }

    // The sum of the counters a device filter selects: "C" in its first place selects cellular,
    // "W" in its second Wi-Fi, "U" in its third unknown networks. Any other character, a shorter
    // string or no filter at all selects nothing at that place.
    std::uint64_t relevantUsage(const std::optional<std::string>& devices) const;

  private:
    std::uint64_t usage_wifi_ = 0;
    std::uint64_t usage_cellular_ = 0;
    std::uint64_t usage_unknown_ = 0;
};
