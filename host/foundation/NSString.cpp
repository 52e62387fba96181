#include "host/foundation/NSString.h"

#include <unicode/coll.h>
#include <unicode/locid.h>
#include <unicode/stringpiece.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <cctype>
#include <cstdint>
#include <limits>
#include <memory>

#include "host/foundation/Locale.h"
#include "host/foundation/SystemLog.h"

namespace {

NSComparisonResult fromOrder(int order) {
    return order < 0 ? NSOrderedAscending : order > 0 ? NSOrderedDescending : NSOrderedSame;
}

// The collator of the current default locale. Names are sorted on the main thread only, but a
// per-thread cache costs nothing and means a stray caller elsewhere cannot race the rebuild.
struct CollatorCache {
    std::unique_ptr<icu::Collator> collator;
    unsigned generation = 0;
    std::string localeName;
    bool failed = false;

    icu::Collator* current() {
        unsigned nowGeneration = Locale::localeGeneration();
        // The generation catches changes made through Locale; the name also catches a default
        // set directly through ICU.
        const char* nowName = icu::Locale::getDefault().getName();
        if ((collator || failed) && generation == nowGeneration && localeName == nowName)
            return collator.get();
        generation = nowGeneration;
        localeName = nowName;
        UErrorCode status = U_ZERO_ERROR;
        collator.reset(icu::Collator::createInstance(icu::Locale::getDefault(), status));
        if (U_FAILURE(status) || !collator) {
            collator.reset();
            if (!failed)
                SystemLog::write("no collator for locale " + localeName + ": " +
                                 u_errorName(status) + "; names are compared byte by byte");
            failed = true;
            return nullptr;
        }
        failed = false;
        // Secondary strength: "apple" and "Apple" are the same name, "resume" and "résumé" not.
        collator->setStrength(icu::Collator::SECONDARY);
        return collator.get();
    }
};

thread_local CollatorCache collatorCache;

}  // namespace

namespace NSString {

NSComparisonResult localizedCaseInsensitiveCompare(std::string_view a, std::string_view b) {
    constexpr size_t kLongest = std::numeric_limits<int32_t>::max();
    icu::Collator* collator = collatorCache.current();
    if (!collator || a.size() > kLongest || b.size() > kLongest) return fromOrder(a.compare(b));
    UErrorCode status = U_ZERO_ERROR;
    UCollationResult result;
    if (isValidUTF8(a) && isValidUTF8(b)) {
        result = collator->compareUTF8(icu::StringPiece(a.data(), static_cast<int32_t>(a.size())),
                                       icu::StringPiece(b.data(), static_cast<int32_t>(b.size())),
                                       status);
    } else {
        // Ill-formed bytes become U+FFFD. Every string is mapped the same way each time, so the
        // result stays a consistent order that a sort can rely on.
        result = collator->compare(icu::UnicodeString::fromUTF8(
                                       icu::StringPiece(a.data(), static_cast<int32_t>(a.size()))),
                                   icu::UnicodeString::fromUTF8(
                                       icu::StringPiece(b.data(), static_cast<int32_t>(b.size()))),
                                   status);
    }
    if (U_FAILURE(status)) return fromOrder(a.compare(b));
    return fromOrder(result);
}

bool isValidUTF8(std::string_view text) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    size_t length = text.size();
    size_t i = 0;
    while (i < length) {
        UChar32 c;
        U8_NEXT(bytes, i, length, c);
        if (c < 0) return false;
    }
    return true;
}

long long longLongValue(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';

    // Accumulate towards the sign's limit so that INT64_MIN, whose magnitude has no positive
    // counterpart, is reached exactly.
    constexpr long long kMax = std::numeric_limits<long long>::max();
    constexpr long long kMin = std::numeric_limits<long long>::min();
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        int digit = text[i] - '0';
        if (negative) {
            if (value < (kMin + digit) / 10) return kMin;
            value = value * 10 - digit;
        } else {
            if (value > (kMax - digit) / 10) return kMax;
            value = value * 10 + digit;
        }
    }
    return value;
}

}  // namespace NSString
