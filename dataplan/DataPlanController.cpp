#include "dataplan/DataPlanController.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <stdexcept>

#include "host/activator/LAActivator.h"
#include "host/foundation/Clock.h"
#include "host/foundation/NSDateFormatter.h"
#include "host/foundation/Paths.h"
#include "host/foundation/UsageString.h"
#include "host/netpolicy/CycleUsage.h"
#include "host/netpolicy/DataPlanStore.h"
#include "host/netpolicy/DataSize.h"
#include "host/netpolicy/RestrictionStore.h"
#include "host/preferences/ClassRegistry.h"
#include "host/ui/UIKit.h"

REGISTER_PAGE_CLASS(DataPlanController);

namespace {

// The editing rows, in the settings plist and on the page in this order. Which of them a kind
// shows depends on its plan (rowFits).
const char* const kEditKeys[] = {"period",  "cycleDay", "start",     "days",
                                 "warning", "limit",    "correction"};
// The property that holds an editing row's kind, and the one of an application's row.
const char* const kKindProperty = "planKind";
const char* const kApplicationProperty = "planApplication";
// The property of the button that ends the limit's pause.
const char* const kResumeProperty = "planResume";
// The bundle whose page shows an application's usage, by the name the Settings list knows it.
const char* const kUsageBundle = "bytarn";
// What a choice stores to say "none": a cycle day of 0 clears the plan, "none" clears a level.
const char* const kNone = "none";
const char* const kMonthly = "monthly";
const char* const kOneOff = "once";
// What a text row shows for a level that is not set; typing it (in any case) or "none" clears it.
const char* const kNoneShown = "None";
// The days a pack gets when the plan becomes one; the Days row changes them.
constexpr int kNewPackDays = 30;

// Whether the row of `key` belongs on the page for a kind with this plan: without a plan only
// the plan's kind can be chosen; a monthly plan has its cycle day, a pack its start and days.
bool rowFits(std::string_view key, const std::optional<DataPlan>& plan) {
    if (key == "period") return true;
    if (!plan) return false;
    bool pack = plan->period == DataPlan::Period::OneOff;
    if (key == "cycleDay") return !pack;
    if (key == "start" || key == "days") return pack;
    return true;
}

bool meansNone(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text == kNone;
}

std::string quoted(std::string_view text) {
    return "\"" + std::string(text) + "\"";
}

// A pack's days as typed: a whole number, which validatePlan then holds to 1 to kMaxPackDays.
int packDays(std::string_view text) {
    int days = 0;
    auto [end, fault] = std::from_chars(text.data(), text.data() + text.size(), days);
    if (fault == std::errc::result_out_of_range)
        throw std::runtime_error("a pack of " + std::string(text) +
                                 " days is not possible: give 1 to " +
                                 std::to_string(kMaxPackDays) + " days");
    if (fault != std::errc() || end != text.data() + text.size())
        throw std::runtime_error(quoted(text) + " is not a number of days");
    return days;
}

std::string kindTitle(std::string_view kind) {
    return kind == kWifiKind ? "Wi-Fi" : "Cellular";
}

const NSDateFormatter& dayFormatter() {
    static NSDateFormatter formatter;
    static const bool ready = [] {
        formatter.setDateStyle(NSDateFormatterMediumStyle);
        formatter.setTimeStyle(NSDateFormatterNoStyle);
        return true;
    }();
    (void)ready;
    return formatter;
}

std::string localizedDay(LocalDay day) {
    return dayFormatter().stringFromDate(NSDate{startOfDay(day)}).value_or(dayString(day));
}

std::string warningText(const PlanWarning& warning) {
    if (warning.percent) {
        std::string text = std::to_string(*warning.percent);
        text.erase(text.find_last_not_of('0') + 1);
        if (text.back() == '.') text.pop_back();
        return text + "%";
    }
    return usageString(warning.bytes.value_or(0));
}

std::string correctionText(std::int64_t bytes) {
    std::uint64_t size =
        bytes < 0 ? 0 - static_cast<std::uint64_t>(bytes) : static_cast<std::uint64_t>(bytes);
    return (bytes < 0 ? "-" : "+") + usageString(size);
}

std::shared_ptr<PSSpecifier> textRow(const std::string& name, std::string value,
                                     const std::shared_ptr<PSListController>& target) {
    auto row = PSSpecifier::preferenceSpecifierNamed(
        name, target, nullptr,
        [value = std::move(value)](PSListController&, PSSpecifier&) { return Value(value); }, {},
        PSTitleValueCell);
    return row;
}

}  // namespace

std::string usageDatabasePath() {
    return Paths::expandTilde(std::string(BYTARN_DATABASE_DIRECTORY) + BYTARN_COLLECTOR_SERVICE +
                              ".sqlite3");
}

DataPlanController::DataPlanController() {
    setTitle("Data plan");
}

DataPlanController::KindSection DataPlanController::readKind(std::string_view kind) {
    KindSection section{std::string(kind), std::nullopt, std::nullopt, {}};
    std::string problem;
    section.plan = DataPlanStore::plan(kind, &problem);
    if (!problem.empty()) {
        // As `bytarn plan` says it, as a sentence of its own.
        problem_ = problem + "; it is left out";
        problem_[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(problem_[0])));
    }
    if (!section.plan) return section;
    std::string error;
    double now = Clock::now();
    PlanCycle cycle = cycleFor(*section.plan, localDayOf(now));
    auto usage = readCycleUsage(usageDatabasePath(), section.kind, cycle, &error);
    if (!usage) {
        section.usageProblem = error;
        problem_ = "Cannot read the usage database: " + error;
        usage.emplace();
    }
    section.status =
        planStatus(*section.plan, now, usage->bytesByDay, std::move(usage->applications));
    return section;
}

const PSSpecifierList& DataPlanController::specifiers() {
    if (_specifiers) return *_specifiers;
    auto self = std::static_pointer_cast<PSListController>(shared_from_this());
    if (templates_.empty())
        for (auto& row : loadSpecifiersFromPlistName("DataPlanSettings", self))
            if (row->stringProperty("key")) templates_.push_back(std::move(row));
    problem_.clear();
    sections_.clear();
    std::string pauseProblem;
    pause_ = PlanPause::current(usageDatabasePath(), std::string(kCellularKind), Clock::now(),
                                &pauseProblem);
    if (!pauseProblem.empty()) problem_ = "Cannot read the pause of mobile data: " + pauseProblem;
    for (std::string_view kind : {kCellularKind, kWifiKind}) sections_.push_back(readKind(kind));
    PSSpecifierList rows;
    for (const auto& section : sections_) appendKind(rows, section);
    // What could not be read is said on the page, above the plans, rather than shown as a
    // plan without use.
    if (!problem_.empty()) {
        auto said = PSSpecifier::preferenceSpecifierNamed(problem_, self, nullptr, nullptr, {},
                                                          PSStaticTextCell);
        rows.insert(rows.begin(), {PSSpecifier::emptyGroupSpecifier(), std::move(said)});
    }
    _specifiers = std::move(rows);
    return *_specifiers;
}

void DataPlanController::appendKind(PSSpecifierList& rows, const KindSection& section) {
    auto self = std::static_pointer_cast<PSListController>(shared_from_this());
    std::string title = kindTitle(section.kind);
    rows.push_back(PSSpecifier::groupSpecifierWithName(title));
    const bool cellular = section.kind == kCellularKind;
    if (cellular && pause_) {
        // The pause comes first: it is why applications have no mobile data now.
        rows.push_back(
            PSSpecifier::preferenceSpecifierNamed("Mobile data paused: the limit was reached on " +
                                                      localizedDay(localDayOf(pause_->since)),
                                                  self, nullptr, nullptr, {}, PSStaticTextCell));
        auto resume = PSSpecifier::preferenceSpecifierNamed("Resume", self, nullptr, nullptr, {},
                                                            PSButtonCell);
        resume->setProperty(std::string("resume"), kResumeProperty);
        rows.push_back(std::move(resume));
    }
    if (section.plan && section.status) {
        const PlanStatus& status = *section.status;
        rows.push_back(textRow(
            "Cycle", localizedDay(status.cycle.first) + " – " + localizedDay(status.cycle.last),
            self));
        rows.push_back(textRow("Days left", std::to_string(status.daysLeft), self));
        std::string used = usageString(status.used);
        if (status.limit) used += " of " + usageString(*status.limit);
        if (status.limitReached)
            used += ", limit reached";
        else if (status.warningReached)
            used += ", warning reached";
        auto usedRow = textRow("Used", used, self);
        if (status.limit && *status.limit > 0)
            usedRow->setLevel(static_cast<double>(status.used) /
                              static_cast<double>(*status.limit));
        rows.push_back(std::move(usedRow));
        rows.push_back(textRow("Projected", usageString(status.projected), self));
    } else {
        auto none = PSSpecifier::preferenceSpecifierNamed("No plan: choose one below", self,
                                                          nullptr, nullptr, {}, PSStaticTextCell);
        rows.push_back(std::move(none));
    }
    for (const char* key : kEditKeys) {
        if (!rowFits(key, section.plan)) continue;
        if (auto row = editRow(key, section)) rows.push_back(std::move(row));
    }
    if (cellular) {
        // The applications' own choices, which hold with or without a plan.
        std::string restricted =
            std::to_string(RestrictionStore::read().restricted.size()) + " restricted";
        auto applications = PSSpecifier::preferenceSpecifierNamed(
            "Applications on mobile data", self, nullptr,
            [restricted](PSListController&, PSSpecifier&) { return Value(restricted); },
            "DataPlanApplicationsController", PSLinkListCell);
        applications->setProperty(std::string("mobileData"), "planList");
        rows.push_back(std::move(applications));
    }
    if (section.status && !section.status->top.empty()) {
        rows.push_back(PSSpecifier::groupSpecifierWithName(title + ": most used this cycle"));
        auto& activator = LAActivator::sharedInstance();
        for (const auto& application : section.status->top) {
            auto row = textRow(activator.localizedTitleForListenerName(application.identifier)
                                   .value_or(application.identifier),
                               usageString(application.bytes), self);
            // It opens the application's page in the Bytarn bundle.
            row->setCellType(PSLinkListCell);
            row->setProperty(application.identifier, "id");
            row->setProperty(application.identifier, kApplicationProperty);
            if (auto icon = activator.smallIconForListenerName(application.identifier))
                row->setProperty(icon, "iconImage");
            rows.push_back(std::move(row));
        }
    }
}

std::shared_ptr<PSSpecifier> DataPlanController::editRow(const std::string& key,
                                                         const KindSection& section) {
    auto found = std::find_if(templates_.begin(), templates_.end(),
                              [&](const auto& row) { return row->stringProperty("key") == key; });
    if (found == templates_.end()) return nullptr;
    const PSSpecifier& pattern = **found;
    auto self = std::static_pointer_cast<PSListController>(shared_from_this());
    const bool typed = pattern.cellType() == PSEditTextCell;
    auto row = PSSpecifier::preferenceSpecifierNamed(
        pattern.name(), self,
        [](PSListController& page, const Value& value, const std::shared_ptr<PSSpecifier>& r) {
            page.setPreferenceValue(value, r);
        },
        [key](PSListController& page, PSSpecifier& r) {
            auto kind = r.stringProperty(kKindProperty).value_or(std::string(kCellularKind));
            return static_cast<DataPlanController&>(page).currentValue(key, kind);
        },
        typed ? std::string() : pattern.detailControllerClass(),
        typed ? PSEditTextCell : PSLinkListCell);
    row->setProperty(key, "key");
    row->setProperty(section.kind, kKindProperty);
    if (typed) {
        row->setProperty(pattern.placeholder(), "placeholder");
    } else if (key == "cycleDay") {
        Value::Array values(31), titles(31);
        for (int day = 1; day <= 31; ++day) {
            values[day - 1] = Value(day);
            titles[day - 1] = Value("Day " + std::to_string(day));
        }
        row->setProperty(Value(std::move(values)), "validValues");
        row->setProperty(Value(std::move(titles)), "validTitles");
    } else {
        row->setProperty(pattern.valueProperty("validValues"), "validValues");
        row->setProperty(pattern.valueProperty("validTitles"), "validTitles");
    }
    return row;
}

Value DataPlanController::currentValue(const std::string& key, const std::string& kind) {
    auto plan = DataPlanStore::plan(kind);
    if (key == "period") {
        if (!plan) return Value(kNone);
        return Value(plan->period == DataPlan::Period::OneOff ? kOneOff : kMonthly);
    }
    if (!plan) return Value(kNoneShown);
    const bool pack = plan->period == DataPlan::Period::OneOff;
    if (key == "cycleDay") return pack ? Value() : Value(plan->cycleDay);
    if (key == "start") return pack ? Value(dayString(plan->start)) : Value();
    if (key == "days") return pack ? Value(std::to_string(plan->days)) : Value();
    if (key == "warning") return Value(plan->warning ? warningText(*plan->warning) : kNoneShown);
    if (key == "limit") return Value(plan->limit ? usageString(*plan->limit) : kNoneShown);
    if (key == "correction") {
        // The carrier's figure as it stands now: used with this cycle's correction.
        bool current =
            plan->correction && plan->correction->cycleStart == cycleFor(*plan, localToday()).first;
        if (!current) return Value(kNoneShown);
        for (const auto& section : sections_)
            if (section.kind == kind && section.status)
                return Value(usageString(section.status->used));
        return Value(correctionText(plan->correction->bytes));
    }
    return Value();
}

bool DataPlanController::didSelectSpecifier(const std::shared_ptr<PSSpecifier>& row,
                                            std::string* error) {
    if (row && row->stringProperty(kResumeProperty)) {
        std::string problem;
        auto result = PlanPause::resume(usageDatabasePath(), std::string(kCellularKind),
                                        Clock::now(), &problem);
        if (result == PlanPause::ResumeResult::Failed)
            throw std::runtime_error("cannot resume mobile data: " + problem);
        // Resumed, or already over (the cycle ended, another hand resumed): the page shows it.
        reloadSpecifiers();
        return true;
    }
    auto application = row ? row->stringProperty(kApplicationProperty) : std::nullopt;
    if (!application) return PSListController::didSelectSpecifier(row, error);
    return UIApplication::sharedApplication().openSettingsPath(
        std::string(kUsageBundle) + "/" + *application, error);
}

void DataPlanController::setPreferenceValue(const Value& value,
                                            const std::shared_ptr<PSSpecifier>& row) {
    if (!row) return;
    auto key = row->stringProperty("key").value_or("");
    auto kind = row->stringProperty(kKindProperty).value_or(std::string(kCellularKind));
    // The value shown, typed again or picked again, changes nothing.
    if (value == currentValue(key, kind)) return;
    auto stored = DataPlanStore::plan(kind);
    DataPlan plan = stored.value_or(DataPlan{});
    plan.kind = kind;
    const std::string text = value.stringValue().value_or("");
    const bool none = meansNone(text);
    std::string error;
    // A pack's start and days, kept when there are some; a plan that becomes a pack starts today.
    auto makePack = [&] {
        if (plan.period == DataPlan::Period::OneOff && stored) return;
        plan.period = DataPlan::Period::OneOff;
        plan.start = localToday();
        plan.days = kNewPackDays;
    };
    if (key == "period") {
        if (none) {
            if (!DataPlanStore::clear(kind))
                throw std::runtime_error("cannot remove the " + kindTitle(kind) + " plan");
            reloadSpecifiers();
            return;
        }
        if (text == kOneOff) {
            makePack();
        } else if (text == kMonthly) {
            // A pack that becomes monthly keeps its start's day of the month.
            if (stored && stored->period == DataPlan::Period::OneOff)
                plan.cycleDay = static_cast<int>(static_cast<unsigned>(stored->start.day()));
            plan.period = DataPlan::Period::Monthly;
        } else {
            return;
        }
    } else if (key == "cycleDay") {
        auto day = value.integer();
        if (!day) return;
        plan.period = DataPlan::Period::Monthly;
        plan.cycleDay = static_cast<int>(*day);
    } else if (key == "start") {
        auto start = parseDay(text);
        if (!start) throw std::runtime_error(quoted(text) + " is not a day of the form YYYY-MM-DD");
        makePack();
        plan.start = *start;
    } else if (key == "days") {
        int days = packDays(text);
        makePack();
        plan.days = days;
    } else if (key == "warning") {
        if (none) {
            plan.warning.reset();
        } else {
            auto warning = parsePlanWarning(text, &error);
            if (!warning) throw std::runtime_error(error);
            plan.warning = *warning;
        }
    } else if (key == "limit") {
        if (none) {
            plan.limit.reset();
        } else {
            auto limit = parseDataSize(text, &error);
            if (!limit) throw std::runtime_error(error);
            plan.limit = *limit;
        }
    } else if (key == "correction") {
        if (none) {
            plan.correction.reset();
        } else {
            auto figure = parseDataSize(text, &error);
            if (!figure) throw std::runtime_error(error);
            // The carrier's figure: used equals it now, as `bytarn plan set --used` makes it.
            KindSection now = readKind(kind);
            if (!now.status) throw std::runtime_error("there is no " + kindTitle(kind) + " plan");
            // Counting nothing would store the whole figure as the correction, as
            // `bytarn plan set --used` refuses to.
            if (!now.usageProblem.empty())
                throw std::runtime_error("cannot read the usage database: " + now.usageProblem +
                                         "; the plan was not changed");
            plan.correction = correctionForFigure(now.status->cycle, now.status->counted, *figure);
        }
    } else {
        return;
    }
    if (auto wrong = validatePlan(plan)) throw std::runtime_error(*wrong);
    if (!DataPlanStore::store(plan, &error)) throw std::runtime_error(error);
    reloadSpecifiers();
}
