#include "host/netpolicy/DataPlanStore.h"

#include <cmath>

#include "host/foundation/PreferenceStore.h"

namespace DataPlanStore {

namespace {

// The keys of a stored plan (docs/DATAPLAN.md).
constexpr const char* kPeriod = "period";  // "monthly" or "once"
constexpr const char* kCycleDay = "cycleDay";
constexpr const char* kStart = "start";
constexpr const char* kDays = "days";
constexpr const char* kLimit = "limit";
constexpr const char* kWarning = "warning";
constexpr const char* kWarningPercent = "warningPercent";
constexpr const char* kCorrectionCycle = "correctionCycle";
constexpr const char* kCorrection = "correction";

std::optional<std::int64_t> integerAt(const Value& value, const char* key) {
    const Value* found = value.find(key);
    if (found && found->integer()) return *found->integer();
    return std::nullopt;
}

}  // namespace

Value valueOfPlan(const DataPlan& plan) {
    Value::Dictionary stored;
    if (plan.period == DataPlan::Period::Monthly) {
        stored[kPeriod] = "monthly";
        stored[kCycleDay] = plan.cycleDay;
    } else {
        stored[kPeriod] = "once";
        stored[kStart] = dayString(plan.start);
        stored[kDays] = plan.days;
    }
    if (plan.limit) stored[kLimit] = static_cast<std::int64_t>(*plan.limit);
    if (plan.warning && plan.warning->bytes)
        stored[kWarning] = static_cast<std::int64_t>(*plan.warning->bytes);
    if (plan.warning && plan.warning->percent) stored[kWarningPercent] = *plan.warning->percent;
    if (plan.correction) {
        stored[kCorrectionCycle] = dayString(plan.correction->cycleStart);
        stored[kCorrection] = plan.correction->bytes;
    }
    return stored;
}

std::optional<DataPlan> planFromValue(std::string_view kind, const Value& value,
                                      std::string* error) {
    auto fail = [&](const std::string& why) -> std::optional<DataPlan> {
        *error = "the stored " + std::string(kind) + " plan " + why;
        return std::nullopt;
    };
    if (!value.dictionary()) return fail("is not a dictionary");
    DataPlan plan;
    plan.kind = std::string(kind);
    const Value* period = value.find(kPeriod);
    if (period && period->stringValue() == "monthly") {
        auto cycleDay = integerAt(value, kCycleDay);
        if (!cycleDay || *cycleDay < 1 || *cycleDay > 31)
            return fail("has no cycle day of 1 to 31");
        plan.cycleDay = static_cast<int>(*cycleDay);
    } else if (period && period->stringValue() == "once") {
        const Value* start = value.find(kStart);
        auto startDay = start && start->string() ? parseDay(*start->string()) : std::nullopt;
        auto days = integerAt(value, kDays);
        if (!startDay) return fail("has no start day");
        if (!days || *days < 1 || *days > kMaxPackDays) return fail("has no number of days");
        plan.period = DataPlan::Period::OneOff;
        plan.start = *startDay;
        plan.days = static_cast<int>(*days);
    } else {
        return fail("is neither monthly nor once");
    }
    auto limit = integerAt(value, kLimit);
    if (value.find(kLimit) && (!limit || *limit <= 0)) return fail("has a limit that is no size");
    if (limit) plan.limit = static_cast<std::uint64_t>(*limit);
    auto warning = integerAt(value, kWarning);
    const Value* percent = value.find(kWarningPercent);
    if (value.find(kWarning) && (!warning || *warning < 0))
        return fail("has a warning that is no size");
    if (warning) plan.warning = PlanWarning{static_cast<std::uint64_t>(*warning), std::nullopt};
    if (percent) {
        // A plist editor may write a whole percentage as an integer.
        std::optional<double> number;
        if (percent->real()) number = *percent->real();
        if (percent->integer()) number = static_cast<double>(*percent->integer());
        if (!number || !std::isfinite(*number))
            return fail("has a warning percentage that is no number");
        if (!plan.warning) plan.warning = PlanWarning{};
        plan.warning->percent = number;
    }
    const Value* correctionCycle = value.find(kCorrectionCycle);
    auto correction = integerAt(value, kCorrection);
    if (correctionCycle || correction) {
        auto cycleStart = correctionCycle && correctionCycle->string()
                              ? parseDay(*correctionCycle->string())
                              : std::nullopt;
        if (!cycleStart || !correction) return fail("has a correction without its cycle or bytes");
        plan.correction = PlanCorrection{*cycleStart, *correction};
    }
    if (auto problem = validatePlan(plan)) return fail("is not sound: " + *problem);
    return plan;
}

std::optional<DataPlan> plan(std::string_view kind, std::string* problem) {
    Value stored = PreferenceStore::valueForKey(kDomain, std::string(kind));
    if (stored.isNull()) return std::nullopt;
    std::string error;
    auto result = planFromValue(kind, stored, &error);
    if (!result && problem) *problem = error;
    return result;
}

std::vector<DataPlan> plans() {
    std::vector<DataPlan> result;
    Value::Dictionary stored = PreferenceStore::allValues(kDomain);
    for (std::string_view kind : {kCellularKind, kWifiKind}) {
        auto found = stored.find(std::string(kind));
        std::string ignored;
        if (found == stored.end()) continue;
        if (auto readable = planFromValue(kind, found->second, &ignored))
            result.push_back(std::move(*readable));
    }
    return result;
}

bool store(const DataPlan& plan, std::string* error) {
    if (auto problem = validatePlan(plan)) {
        *error = *problem;
        return false;
    }
    if (!PreferenceStore::setValueForKey(kDomain, plan.kind, valueOfPlan(plan))) {
        *error = "cannot store the plan in " + PreferenceStore::pathForDomain(kDomain);
        return false;
    }
    return true;
}

bool clear(std::string_view kind) {
    return PreferenceStore::setValueForKey(kDomain, std::string(kind), Value());
}

}  // namespace DataPlanStore
