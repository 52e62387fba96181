#pragma once

#include <memory>
#include <optional>
#include <string>

// An instant, as seconds since 1970-01-01T00:00:00Z.
struct NSDate {
    double timeIntervalSince1970 = 0;

    // The clock's current instant (see Clock).
    static NSDate date();
    NSDate dateByAddingTimeInterval(double seconds) const {
        return {timeIntervalSince1970 + seconds};
    }
    bool operator==(const NSDate&) const = default;
};

enum NSDateFormatterStyle {
    NSDateFormatterNoStyle = 0,
    NSDateFormatterShortStyle = 1,
    NSDateFormatterMediumStyle = 2,
    NSDateFormatterLongStyle = 3,
    NSDateFormatterFullStyle = 4,
};

// A date formatter over ICU. It works in the process's default time zone and, unless a locale is
// set, in the default locale (see Locale.h); either a pattern (setDateFormat) or date and time
// styles decide the text. Settings take effect at the next use.
class NSDateFormatter {
  public:
    NSDateFormatter();
    ~NSDateFormatter();
    NSDateFormatter(const NSDateFormatter&) = delete;
    NSDateFormatter& operator=(const NSDateFormatter&) = delete;

    // An ICU locale identifier such as "en_US_POSIX".
    void setLocale(const std::string& localeIdentifier);
    void setDateFormat(const std::string& pattern);
    void setDateStyle(NSDateFormatterStyle style);
    void setTimeStyle(NSDateFormatterStyle style);

    // The text of a date; nothing when given nothing.
    std::optional<std::string> stringFromDate(std::optional<NSDate> date) const;

    // Strict, whole-string parsing: the text must be a valid date in the formatter's pattern and
    // nothing else. Trailing text, a short year or an impossible day ("2026-02-30", "0000-00-00")
    // give nothing; so does any text whose date, formatted again, is not the same text.
    std::optional<NSDate> dateFromString(const std::string& text) const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
