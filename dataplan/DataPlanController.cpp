#include "dataplan/DataPlanController.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <stdexcept>

#include "host/activator/LAActivator.h"
#include "host/foundation/Clock.h"
#include "host/foundation/NSDateFormatter.h"
#include "host/foundation/Paths.h"
#include "host/foundation/UsageString.h"
#include "host/netpolicy/CycleUsage.h"
#include "host/netpolicy/DataPlanStore.h"
#include "host/netpolicy/DataSize.h"
#include "host/preferences/ClassRegistry.h"
#include "host/ui/UIKit.h"

REGISTER_PAGE_CLASS(DataPlanController);

namespace {

// The editing rows, in the settings plist and on the page in this order.
const char* const kEditKeys[] = {"cycleDay", "warning", "limit", "correction"};
// The property that holds an editing row's kind, and the one of an application's row.
const char* const kKindProperty = "planKind";
const char* const kApplicationProperty = "planApplication";
// The bundle whose page shows an application's usage, by the name the Settings list knows it.
const char* const kUsageBundle = "bytarn";
// What a choice stores to say "none": a cycle day of 0 clears the plan, "none" clears a level.
const char* const kNone = "none";
const char* const kOneOff = "once";

std::string kindTitle(std::string_view kind) {
    return kind == kWifiKind ? "Wi-Fi" : "Cellular";
}

std::string usageDatabasePath() {
    return Paths::expandTilde(std::string(BYTARN_DATABASE_DIRECTORY) + BYTARN_COLLECTOR_SERVICE +
                              ".sqlite3");
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

// Adds a title and value to a choice row unless the value is one of its choices already.
void offerChoice(PSSpecifier& row, const Value& value, const std::string& title) {
    Value values = row.valueProperty("validValues");
    Value titles = row.valueProperty("validTitles");
    Value::Array vs = values.array() ? *values.array() : Value::Array{};
    Value::Array ts = titles.array() ? *titles.array() : Value::Array{};
    if (std::find(vs.begin(), vs.end(), value) != vs.end()) return;
    vs.push_back(value);
    ts.push_back(Value(title));
    row.setProperty(Value(std::move(vs)), "validValues");
    row.setProperty(Value(std::move(ts)), "validTitles");
}

// The carrier's figures the correction row offers: the used bytes rounded to a step, and ten
// steps either side (0.1GB at a gigabyte and more, else 10MB), each stored as its byte count.
// The host has no text field, so a figure is picked rather than typed.
void offerCarrierFigures(PSSpecifier& row, std::uint64_t used) {
    constexpr std::uint64_t kMB = 1024 * 1024, kGB = 1024 * kMB;
    constexpr int kStepsEitherSide = 10;
    const double step = used >= kGB ? kGB / 10.0 : 10.0 * kMB;
    const auto middle = static_cast<std::int64_t>(std::llround(static_cast<double>(used) / step));
    for (std::int64_t k = middle - kStepsEitherSide; k <= middle + kStepsEitherSide; ++k) {
        if (k <= 0) continue;
        auto figure = static_cast<std::int64_t>(std::llround(static_cast<double>(k) * step));
        offerChoice(row, Value(figure), usageString(static_cast<std::uint64_t>(figure)));
    }
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

DataPlanController::DataPlanController() {
    setTitle("Data plan");
}

DataPlanController::KindSection DataPlanController::readKind(std::string_view kind) {
    KindSection section{std::string(kind), std::nullopt, std::nullopt};
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
        auto none = PSSpecifier::preferenceSpecifierNamed("No plan: choose a cycle day", self,
                                                          nullptr, nullptr, {}, PSStaticTextCell);
        rows.push_back(std::move(none));
    }
    for (const char* key : kEditKeys) {
        // Without a plan only the cycle can be set: the other levels belong to a cycle.
        if (!section.plan && std::string(key) != "cycleDay") continue;
        if (auto row = editRow(key, section)) rows.push_back(std::move(row));
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
    auto row = PSSpecifier::preferenceSpecifierNamed(
        pattern.name(), self,
        [](PSListController& page, const Value& value, const std::shared_ptr<PSSpecifier>& r) {
            page.setPreferenceValue(value, r);
        },
        [key](PSListController& page, PSSpecifier& r) {
            auto kind = r.stringProperty(kKindProperty).value_or(std::string(kCellularKind));
            return static_cast<DataPlanController&>(page).currentValue(key, kind);
        },
        pattern.detailControllerClass().empty() ? "DataPlanChoiceController"
                                                : pattern.detailControllerClass(),
        PSLinkListCell);
    row->setProperty(key, "key");
    row->setProperty(section.kind, kKindProperty);
    if (key == "cycleDay") {
        Value::Array values(32), titles(32);
        values[0] = Value(0);
        titles[0] = Value("None");
        for (int day = 1; day <= 31; ++day) {
            values[day] = Value(day);
            titles[day] = Value("Day " + std::to_string(day));
        }
        row->setProperty(Value(std::move(values)), "validValues");
        row->setProperty(Value(std::move(titles)), "validTitles");
        if (section.plan && section.plan->period == DataPlan::Period::OneOff)
            offerChoice(*row, Value(kOneOff),
                        std::to_string(section.plan->days) + " days from " +
                            localizedDay(section.plan->start));
    } else {
        row->setProperty(pattern.valueProperty("validValues"), "validValues");
        row->setProperty(pattern.valueProperty("validTitles"), "validTitles");
        Value current = currentValue(key, section.kind);
        if (auto text = current.stringValue()) {
            std::string title = *text;
            if (key == "correction" && section.plan && section.plan->correction)
                title = correctionText(section.plan->correction->bytes);
            offerChoice(*row, current, title);
        }
        if (key == "correction" && section.status) offerCarrierFigures(*row, section.status->used);
    }
    return row;
}

Value DataPlanController::currentValue(const std::string& key, const std::string& kind) {
    auto plan = DataPlanStore::plan(kind);
    if (key == "cycleDay") {
        if (!plan) return Value(0);
        if (plan->period == DataPlan::Period::OneOff) return Value(kOneOff);
        return Value(plan->cycleDay);
    }
    if (!plan) return Value(kNone);
    if (key == "warning") return Value(plan->warning ? warningText(*plan->warning) : kNone);
    if (key == "limit") return Value(plan->limit ? usageString(*plan->limit) : kNone);
    if (key == "correction") {
        bool current =
            plan->correction && plan->correction->cycleStart == cycleFor(*plan, localToday()).first;
        return Value(current ? correctionText(plan->correction->bytes) : kNone);
    }
    return Value();
}

bool DataPlanController::didSelectSpecifier(const std::shared_ptr<PSSpecifier>& row,
                                            std::string* error) {
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
    if (value == currentValue(key, kind)) return;
    auto stored = DataPlanStore::plan(kind);
    DataPlan plan = stored.value_or(DataPlan{});
    plan.kind = kind;
    std::string text = value.stringValue().value_or("");
    std::string error;
    if (key == "cycleDay") {
        auto day = value.integer();
        if (day && *day == 0) {
            if (!DataPlanStore::clear(kind))
                throw std::runtime_error("cannot remove the " + kindTitle(kind) + " plan");
            reloadSpecifiers();
            return;
        }
        if (!day) return;  // the pack it is already
        plan.period = DataPlan::Period::Monthly;
        plan.cycleDay = static_cast<int>(*day);
    } else if (key == "warning") {
        if (text == kNone) {
            plan.warning.reset();
        } else {
            auto warning = parsePlanWarning(text, &error);
            if (!warning) throw std::runtime_error(error);
            plan.warning = *warning;
        }
    } else if (key == "limit") {
        if (text == kNone) {
            plan.limit.reset();
        } else {
            auto limit = parseDataSize(text, &error);
            if (!limit) throw std::runtime_error(error);
            plan.limit = *limit;
        }
    } else if (key == "correction") {
        if (text == kNone) {
            plan.correction.reset();
        } else if (auto figure = value.integer(); figure && *figure >= 0) {
            // The carrier's figure: used equals it now, as `bytarn plan set --used` makes it.
            KindSection now = readKind(kind);
            if (!now.status) throw std::runtime_error("there is no " + kindTitle(kind) + " plan");
            plan.correction = correctionForFigure(now.status->cycle, now.status->counted,
                                                  static_cast<std::uint64_t>(*figure));
        } else {
            return;
        }
    } else {
        return;
    }
    if (auto wrong = validatePlan(plan)) throw std::runtime_error(*wrong);
    if (!DataPlanStore::store(plan, &error)) throw std::runtime_error(error);
    reloadSpecifiers();
}
