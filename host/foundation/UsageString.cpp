#include "host/foundation/UsageString.h"

#include <charconv>
#include <cstring>

std::string usageString(std::uint64_t bytes) {
    // The unit is chosen on the exact count; only the printed number goes through a double, so a
    // count just below a threshold may print as "1024.00" of the smaller unit.
    double value = static_cast<double>(bytes);
    const char* unit;
    if (bytes >= 1073741824ULL) {
        value /= 1073741824.0;
        unit = "GB";
    } else if (bytes >= 1048576ULL) {
        value /= 1048576.0;
        unit = "MB";
    } else if (bytes < 1024ULL) {
        unit = "B";
    } else {
        value /= 1024.0;
        unit = "KB";
    }
    // Fixed notation with two decimals, correctly rounded (ties to even), as printf's "%.2lf"
    // prints it, at a third of the cost; every page build formats one of these per row.
    char text[64];
    auto end = std::to_chars(text, text + sizeof text - 3, value, std::chars_format::fixed, 2).ptr;
    std::strcpy(end, unit);
    return text;
}
