#include "host/foundation/NSDateFormatter.h"

#include <unicode/datefmt.h>
#include <unicode/locid.h>
#include <unicode/parsepos.h>
#include <unicode/smpdtfmt.h>
#include <unicode/timezone.h>
#include <unicode/unistr.h>

#include <cmath>
#include <mutex>

#include "host/foundation/Clock.h"
#include "host/foundation/Locale.h"

NSDate NSDate::date() {
    return {Clock::now()};
}

namespace {

// Longer than any date the styles and patterns in use here write.
constexpr std::size_t kLongestDateText = 256;

icu::DateFormat::EStyle icuStyle(NSDateFormatterStyle style) {
    switch (style) {
        case NSDateFormatterShortStyle:
            return icu::DateFormat::kShort;
        case NSDateFormatterMediumStyle:
            return icu::DateFormat::kMedium;
        case NSDateFormatterLongStyle:
            return icu::DateFormat::kLong;
        case NSDateFormatterFullStyle:
            return icu::DateFormat::kFull;
        case NSDateFormatterNoStyle:
            break;
    }
    return icu::DateFormat::kNone;
}

}  // namespace

struct NSDateFormatter::Impl {
    std::optional<std::string> localeIdentifier;
    std::optional<std::string> pattern;
    NSDateFormatterStyle dateStyle = NSDateFormatterNoStyle;
    NSDateFormatterStyle timeStyle = NSDateFormatterNoStyle;

    // The ICU formatter is built at first use and kept until a setting changes, or, when the
    // formatter follows the default locale, until that locale changes.
    std::mutex mutex;
    std::unique_ptr<icu::DateFormat> icuFormat;
    unsigned builtForLocaleGeneration = 0;

    void invalidate() { icuFormat.reset(); }

    // Without a pattern and with neither a date nor a time style there is nothing to show.
    bool producesNothing() const {
        return !pattern && dateStyle == NSDateFormatterNoStyle &&
               timeStyle == NSDateFormatterNoStyle;
    }

    // The formatter ready for one use, or null when ICU cannot make one. Call with mutex held.
    icu::DateFormat* prepare() {
        unsigned generation = Locale::localeGeneration();
        if (icuFormat && !localeIdentifier && generation != builtForLocaleGeneration)
            icuFormat.reset();
        if (!icuFormat) {
            icu::Locale locale = localeIdentifier ? icu::Locale(localeIdentifier->c_str())
                                                  : icu::Locale::getDefault();
            if (pattern) {
                UErrorCode status = U_ZERO_ERROR;
                auto made = std::make_unique<icu::SimpleDateFormat>(
                    icu::UnicodeString::fromUTF8(*pattern), locale, status);
                if (U_FAILURE(status)) return nullptr;
                icuFormat = std::move(made);
            } else {
                icuFormat.reset(icu::DateFormat::createDateTimeInstance(
                    icuStyle(dateStyle), icuStyle(timeStyle), locale));
                if (!icuFormat) return nullptr;
            }
            // Strict field parsing (no stray white space, no partial literals, no numeric
            // fallbacks for text fields). The calendar itself stays lenient so that a day whose
            // midnight a daylight-saving change skips still parses, to its first instant;
            // impossible dates such as February 30 are caught by formatting the result again.
            icuFormat->setLenient(false);
            icuFormat->setCalendarLenient(true);
            builtForLocaleGeneration = generation;
        }
        // The default time zone can change between uses; the formatter always follows it.
        icuFormat->adoptTimeZone(icu::TimeZone::createDefault());
        return icuFormat.get();
    }
};

NSDateFormatter::NSDateFormatter() : impl_(std::make_unique<Impl>()) {}
NSDateFormatter::~NSDateFormatter() = default;

void NSDateFormatter::setLocale(const std::string& localeIdentifier) {
    std::lock_guard lock(impl_->mutex);
    impl_->localeIdentifier = localeIdentifier;
    impl_->invalidate();
}

void NSDateFormatter::setDateFormat(const std::string& pattern) {
    std::lock_guard lock(impl_->mutex);
    impl_->pattern = pattern;
    impl_->invalidate();
}

void NSDateFormatter::setDateStyle(NSDateFormatterStyle style) {
    std::lock_guard lock(impl_->mutex);
    impl_->dateStyle = style;
    // Choosing a style replaces any pattern, as the pattern would otherwise keep winning.
    impl_->pattern.reset();
    impl_->invalidate();
}

void NSDateFormatter::setTimeStyle(NSDateFormatterStyle style) {
    std::lock_guard lock(impl_->mutex);
    impl_->timeStyle = style;
    impl_->pattern.reset();
    impl_->invalidate();
}

std::optional<std::string> NSDateFormatter::stringFromDate(std::optional<NSDate> date) const {
    if (!date || !std::isfinite(date->timeIntervalSince1970)) return std::nullopt;
    std::lock_guard lock(impl_->mutex);
    if (impl_->producesNothing()) return std::string();
    icu::DateFormat* format = impl_->prepare();
    if (!format) return std::nullopt;
    icu::UnicodeString text;
    format->format(static_cast<UDate>(date->timeIntervalSince1970 * 1000.0), text);
    std::string out;
    text.toUTF8String(out);
    return out;
}

std::optional<NSDate> NSDateFormatter::dateFromString(const std::string& text) const {
    std::lock_guard lock(impl_->mutex);
    if (impl_->producesNothing() || text.empty()) return std::nullopt;
    // Only text that formats back unchanged is accepted below, and no date formats to anything
    // this long. ICU's number parsing takes time quadratic in a run
    // of digits, so a stored "date" of a mebibyte of digits would stall every page build for
    // seconds; it is refused before it reaches the parser.
    if (text.size() > kLongestDateText) return std::nullopt;
    icu::DateFormat* format = impl_->prepare();
    if (!format) return std::nullopt;

    icu::UnicodeString input = icu::UnicodeString::fromUTF8(text);
    icu::ParsePosition position(0);
    UDate parsed = format->parse(input, position);
    if (position.getErrorIndex() >= 0 || position.getIndex() != input.length()) return std::nullopt;

    // The parser alone accepts more than it should (a two-digit year for "yyyy", a day past the
    // month's end rolled into the next); only text that comes back unchanged is a valid date.
    icu::UnicodeString again;
    format->format(parsed, again);
    std::string againUTF8;
    again.toUTF8String(againUTF8);
    if (againUTF8 != text) return std::nullopt;
    return NSDate{parsed / 1000.0};
}
