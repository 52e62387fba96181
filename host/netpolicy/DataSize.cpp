#include "host/netpolicy/DataSize.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace {

constexpr std::string_view kSizeForm =
    "a size is a number followed by B, KB, MB, GB or TB (or KiB, MiB, GiB, TiB)";

// The largest count a plan stores: plists hold signed 64-bit integers.
constexpr auto kLargest = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

std::string quoted(std::string_view text) {
    // What the user typed is repeated in the message only when it is short, printable ASCII.
    bool printable = text.size() <= 40;
    for (char c : text) printable = printable && c >= 0x20 && c < 0x7f;
    return printable ? "\"" + std::string(text) + "\"" : std::string("the size given");
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    return text;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i] >= 'a' && a[i] <= 'z' ? a[i] - 32 : a[i];
        char y = b[i] >= 'a' && b[i] <= 'z' ? b[i] - 32 : b[i];
        if (x != y) return false;
    }
    return true;
}

// The unit's power of 1024, or nothing for an unknown unit.
std::optional<int> unitPower(std::string_view unit) {
    static constexpr std::string_view kUnits[][2] = {
        {"B", "B"}, {"KB", "KiB"}, {"MB", "MiB"}, {"GB", "GiB"}, {"TB", "TiB"}};
    for (int power = 0; power < 5; ++power)
        for (std::string_view name : kUnits[power])
            if (equalsIgnoringCase(unit, name)) return power;
    return std::nullopt;
}

// A decimal number "123" or "1.25": its whole part and its fraction as numerator over 10^digits.
struct Decimal {
    std::uint64_t whole = 0;
    std::uint64_t fraction = 0;
    int fractionDigits = 0;
};

std::optional<Decimal> parseDecimal(std::string_view text) {
    Decimal number;
    std::size_t dot = text.find('.');
    std::string_view whole = text.substr(0, dot);
    std::string_view fraction = dot == std::string_view::npos ? "" : text.substr(dot + 1);
    if (whole.empty() || (dot != std::string_view::npos && fraction.empty())) return std::nullopt;
    for (std::string_view digits : {whole, fraction})
        for (char c : digits)
            if (c < '0' || c > '9') return std::nullopt;
    auto [end, problem] = std::from_chars(whole.data(), whole.data() + whole.size(), number.whole);
    // Too many digits for 64 bits is a number all the same, only too large for a size.
    if (problem == std::errc::result_out_of_range)
        number.whole = std::numeric_limits<std::uint64_t>::max();
    else if (problem != std::errc())
        return std::nullopt;
    // Eighteen decimals are more than any unit's bytes need; further digits change nothing.
    fraction = fraction.substr(0, 18);
    for (char c : fraction) number.fraction = number.fraction * 10 + (c - '0');
    number.fractionDigits = static_cast<int>(fraction.size());
    return number;
}

}  // namespace

std::optional<std::uint64_t> parseDataSize(std::string_view text, std::string* error) {
    std::string_view size = trimmed(text);
    std::size_t unitAt = size.find_first_not_of("0123456789.");
    if (unitAt == 0 || size.empty()) {
        *error = quoted(text) + " is not a size: " + std::string(kSizeForm);
        return std::nullopt;
    }
    if (unitAt == std::string_view::npos) {
        *error = quoted(text) + " has no unit: " + std::string(kSizeForm);
        return std::nullopt;
    }
    auto number = parseDecimal(size.substr(0, unitAt));
    auto power = unitPower(trimmed(size.substr(unitAt)));
    if (!number || !power) {
        *error = quoted(text) + " is not a size: " + std::string(kSizeForm);
        return std::nullopt;
    }
    unsigned __int128 unit = static_cast<unsigned __int128>(1) << (10 * *power);
    unsigned __int128 scale = 1;
    for (int i = 0; i < number->fractionDigits; ++i) scale *= 10;
    unsigned __int128 bytes = number->whole * unit + (number->fraction * unit + scale / 2) / scale;
    if (number->whole > kLargest || bytes > kLargest) {
        *error = quoted(text) + " is too large";
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(bytes);
}

std::optional<PlanWarning> parsePlanWarning(std::string_view text, std::string* error) {
    std::string_view warning = trimmed(text);
    if (warning.empty() || warning.back() != '%') {
        auto bytes = parseDataSize(text, error);
        if (!bytes) {
            *error += ", or a percentage of the limit such as 80%";
            return std::nullopt;
        }
        return PlanWarning{bytes, std::nullopt};
    }
    warning.remove_suffix(1);
    auto number = parseDecimal(trimmed(warning));
    if (!number || number->whole > 1000) {
        *error = quoted(text) + " is not a percentage such as 80%";
        return std::nullopt;
    }
    double percent = static_cast<double>(number->whole) +
                     static_cast<double>(number->fraction) / std::pow(10.0, number->fractionDigits);
    if (percent <= 0 || percent > 100) {
        *error =
            "a warning of " + quoted(text) + " is not possible: give more than 0% and at most 100%";
        return std::nullopt;
    }
    return PlanWarning{std::nullopt, percent};
}
