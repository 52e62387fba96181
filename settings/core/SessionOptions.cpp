#include "settings/core/SessionOptions.h"

#include <unicode/calendar.h>

#include <cctype>
#include <chrono>
#include <memory>
#include <string_view>

#include "host/foundation/Clock.h"
#include "host/foundation/Locale.h"

namespace {

bool isLeapYear(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int daysInMonth(int year, int month) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && isLeapYear(year) ? 29 : kDays[month - 1];
}

// Digits everywhere but at the separators of "YYYY-MM-DDTHH:MM:SS".
bool hasLocalInstantShape(const std::string& text) {
    static constexpr std::string_view kShape = "dddd-dd-ddTdd:dd:dd";
    if (text.size() != kShape.size()) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        bool ok = kShape[i] == 'd' ? std::isdigit(static_cast<unsigned char>(text[i])) != 0
                                   : text[i] == kShape[i];
        if (!ok) return false;
    }
    return true;
}

int fieldAt(const std::string& text, size_t position, size_t length) {
    return std::stoi(text.substr(position, length));
}

bool fail(std::string* error, std::string why) {
    if (error) *error = std::move(why);
    return false;
}

}  // namespace

std::optional<CollectorMode> collectorModeNamed(const std::string& name) {
    for (CollectorMode mode : {CollectorMode::Automatic, CollectorMode::Embedded,
                               CollectorMode::Bus, CollectorMode::None})
        if (name == collectorModeName(mode)) return mode;
    return std::nullopt;
}

const char* collectorModeName(CollectorMode mode) {
    switch (mode) {
        case CollectorMode::Automatic:
            return "automatic";
        case CollectorMode::Embedded:
            return "embedded";
        case CollectorMode::Bus:
            return "bus";
        case CollectorMode::None:
            break;
    }
    return "none";
}

CollectorMode requestedCollectorMode(const SessionOptions& options) {
    return options.noCollector ? CollectorMode::None : options.collector;
}

std::optional<double> parseLocalInstant(const std::string& text, std::string* error) {
    if (!hasLocalInstantShape(text)) {
        fail(error, "\"" + text + "\" is not a local time of the form YYYY-MM-DDTHH:MM:SS");
        return std::nullopt;
    }
    int year = fieldAt(text, 0, 4), month = fieldAt(text, 5, 2), day = fieldAt(text, 8, 2);
    int hour = fieldAt(text, 11, 2), minute = fieldAt(text, 14, 2), second = fieldAt(text, 17, 2);
    if (year < 1 || month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month) ||
        hour > 23 || minute > 59 || second > 59) {
        fail(error, "\"" + text + "\" is not a valid date and time");
        return std::nullopt;
    }
    // The fields are checked above, so the calendar may stay lenient: that is what lets a wall
    // time inside a daylight-saving gap resolve instead of failing.
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::Calendar> calendar(icu::Calendar::createInstance(status));
    if (U_FAILURE(status) || !calendar) {
        fail(error, std::string("no calendar for the default locale: ") + u_errorName(status));
        return std::nullopt;
    }
    calendar->clear();
    calendar->set(year, month - 1, day, hour, minute, second);
    UDate milliseconds = calendar->getTime(status);
    if (U_FAILURE(status)) {
        fail(error, "\"" + text + "\" cannot be placed in the time zone: " + u_errorName(status));
        return std::nullopt;
    }
    return milliseconds / 1000.0;
}

std::optional<std::string> localInstantProblem(const std::string& text) {
    std::string error;
    if (parseLocalInstant(text, &error)) return std::nullopt;
    return error;
}

std::optional<std::string> timeZoneProblem(const std::string& olsonIdentifier) {
    if (Locale::isKnownTimeZone(olsonIdentifier)) return std::nullopt;
    return "unknown time zone \"" + olsonIdentifier +
           "\" (expected an Olson name such as Europe/Berlin)";
}

std::optional<std::string> localeProblem(const std::string& identifier) {
    if (Locale::isKnownLocale(identifier)) return std::nullopt;
    return "unknown locale \"" + identifier + "\" (expected a name such as en_US or de_DE.UTF-8)";
}

void takeOptionsGivenBefore(SessionOptions& own, const SessionOptions& before) {
    if (!own.now) own.now = before.now;
    if (!own.timeZone) own.timeZone = before.timeZone;
    if (!own.locale) own.locale = before.locale;
    if (!own.bundlesDirectory) own.bundlesDirectory = before.bundlesDirectory;
    if (!own.page) own.page = before.page;
    if (own.collector == CollectorMode::Automatic && !own.noCollector) {
        own.collector = before.collector;
        own.noCollector = before.noCollector;
    }
    own.syntheticTraffic = own.syntheticTraffic || before.syntheticTraffic;
}

bool applySessionEnvironment(const SessionOptions& options, std::string* error) {
    if (options.timeZone && !Locale::setDefaultTimeZone(*options.timeZone))
        return fail(error, timeZoneProblem(*options.timeZone)
                               .value_or("cannot use time zone " + *options.timeZone));
    if (options.locale && !Locale::setDefaultLocale(*options.locale))
        return fail(
            error, localeProblem(*options.locale).value_or("cannot use locale " + *options.locale));
    if (options.now) {
        auto start = parseLocalInstant(*options.now, error);
        if (!start) return false;
        Clock::setVirtual(*start);
    } else {
        using namespace std::chrono;
        Clock::setVirtual(duration<double>(system_clock::now().time_since_epoch()).count());
    }
    return true;
}
