#pragma once

#include <string>
#include <string_view>

enum NSComparisonResult {
    NSOrderedAscending = -1,
    NSOrderedSame = 0,
    NSOrderedDescending = 1,
};

// String helpers the bundles use, over ICU.
namespace NSString {

// Case-insensitive comparison under the current default locale, as a user expects names sorted.
// One collator serves every call until the locale changes; it is never made per comparison.
NSComparisonResult localizedCaseInsensitiveCompare(std::string_view a, std::string_view b);

// Whether the bytes are well-formed UTF-8.
bool isValidUTF8(std::string_view text);

// Reads a decimal integer the way Foundation's longLongValue does: leading white space skipped,
// an optional sign, digits up to the first other character; 0 when there are no digits; the
// signed 64-bit limit of that sign when the number is too large.
long long longLongValue(std::string_view text);

}  // namespace NSString
