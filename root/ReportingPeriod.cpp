// The reporting period of the root page: the query's first and last day, the effective period,
// and the summary title.
#include "host/foundation/NSDateFormatter.h"
#include "root/BytarnController.h"

namespace {

// The rolling week and month are fixed counts of seconds taken off the current instant before
// it becomes a local date, not calendar-day arithmetic; across a change of the clocks the first
// day therefore shifts near midnight.
constexpr double kSixDays = 6 * 86400.0;
constexpr double kTwentySevenDays = 27 * 86400.0;

std::optional<std::string> dateString(NSDate date) {
    return periodDateFormatter()->stringFromDate(date);
}

std::optional<std::string> today() {
    return dateString(NSDate::date());
}

// A stored date string in the user's medium date style; nothing when it does not parse.
std::optional<std::string> localized(const std::optional<std::string>& dateText) {
    std::optional<NSDate> date;
    if (dateText) date = periodDateFormatter()->dateFromString(*dateText);
    NSDateFormatter medium;
    medium.setDateStyle(NSDateFormatterMediumStyle);
    medium.setTimeStyle(NSDateFormatterNoStyle);
    return medium.stringFromDate(date);
}

}  // namespace

std::unique_ptr<NSDateFormatter> periodDateFormatter() {
    auto formatter = std::make_unique<NSDateFormatter>();
    formatter->setLocale("en_US_POSIX");
    formatter->setDateFormat("yyyy-MM-dd");
    return formatter;
}

std::optional<std::string> BytarnController::startDateStr() const {
    if (period_ == "Today") return today();
    if (period_ == "This week")
        return dateString(NSDate::date().dateByAddingTimeInterval(-kSixDays));
    if (period_ == "This month")
        return dateString(NSDate::date().dateByAddingTimeInterval(-kTwentySevenDays));
    if (period_ == "Eternity") return "0000-00-00";
    return startDate_;
}

std::optional<std::string> BytarnController::endDateStr() const {
    if (period_ == "Custom") return endDate_;
    return today();
}

std::optional<std::string> BytarnController::localizedStartDateStr() const {
    auto text = localized(startDateStr());
    return text ? text : std::optional<std::string>("None");
}

std::optional<std::string> BytarnController::localizedEndDateStr() const {
    return localized(endDateStr());
}

std::string BytarnController::combinedDateStrForPeriod(std::optional<std::string> period) {
    // The period field changes only for the length of this call.
    std::optional<std::string> remembered = std::exchange(period_, std::move(period));
    std::string combined = startDateStr().value_or("") + endDateStr().value_or("");
    period_ = std::move(remembered);
    return combined;
}

std::optional<std::string> BytarnController::periodStr() {
    const std::string current = combinedDateStrForPeriod(period_);
    for (const char* named : {"Today", "This week", "This month"}) {
        if (period_ == named) return std::string(named);
        if (current == combinedDateStrForPeriod(std::string(named))) return std::string(named);
    }
    return period_;
}

std::string BytarnController::settingsSummaryPrefix() const {
    if (devices_ == "C  ") return "Cellular usage";
    if (devices_ == " W ") return "Wi-Fi usage";
    return "Usage";
}

std::string BytarnController::settingsSummarySuffix() {
    auto effective = periodStr();
    if (effective == "Today") return " for today";
    if (effective == "This week") return " for this week";
    if (effective == "This month") return " for this month";
    if (effective == "Custom") {
        // An end date that does not parse shows as "None", as an unparsable start does.
        return " between " + localizedStartDateStr().value_or("None") + " and " +
               localizedEndDateStr().value_or("None");
    }
    return " for eternity";
}
