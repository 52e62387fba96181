#include "host/preferences/PSSpecifier.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "host/preferences/PSListController.h"

std::shared_ptr<PSSpecifier> PSSpecifier::preferenceSpecifierNamed(
    std::string name, const std::shared_ptr<PSListController>& target, Setter setter, Getter getter,
    std::string detailClass, PSCellType cell, std::string editClass) {
    auto row = std::make_shared<PSSpecifier>();
    row->name_ = std::move(name);
    row->target_ = target;
    row->setter_ = std::move(setter);
    row->getter_ = std::move(getter);
    row->detail_ = std::move(detailClass);
    row->cell_ = cell;
    row->edit_ = std::move(editClass);
    return row;
}

std::shared_ptr<PSSpecifier> PSSpecifier::emptyGroupSpecifier() {
    return groupSpecifierWithName({});
}

std::shared_ptr<PSSpecifier> PSSpecifier::groupSpecifierWithName(const std::string& name) {
    return preferenceSpecifierNamed(name, nullptr, nullptr, nullptr, {}, PSGroupCell);
}

void PSSpecifier::setProperty(InlineAny value, const std::string& key) {
    for (auto& [name, held] : properties_) {
        if (name == key) {
            held = std::move(value);
            return;
        }
    }
    // Rows have a handful of properties: for most rows one allocation holds them all.
    if (properties_.capacity() == 0) properties_.reserve(4);
    properties_.emplace_back(key, std::move(value));
}

const InlineAny* PSSpecifier::propertyForKey(const std::string& key) const {
    for (const auto& [name, held] : properties_)
        if (name == key) return &held;
    return nullptr;
}

void PSSpecifier::removePropertyForKey(const std::string& key) {
    std::erase_if(properties_, [&](const auto& property) { return property.first == key; });
}

std::optional<std::string> PSSpecifier::stringProperty(const std::string& key) const {
    if (auto s = property<std::string>(key)) return *s;
    if (auto v = property<Value>(key)) return v->stringValue();
    return std::nullopt;
}

Value PSSpecifier::valueProperty(const std::string& key) const {
    if (auto v = property<Value>(key)) return *v;
    if (auto s = property<std::string>(key)) return Value(*s);
    return {};
}

std::string PSSpecifier::identifier() const {
    return stringProperty("id").value_or("");
}

namespace {

// Text for a stored value that is not a string (a number or a flag).
std::optional<std::string> plainText(const Value& v) {
    if (auto s = v.string()) return *s;
    if (auto i = v.integer()) return std::to_string(*i);
    if (auto b = v.boolean()) return *b ? "true" : "false";
    if (auto d = v.real()) return std::to_string(*d);
    return std::nullopt;
}

}  // namespace

std::optional<std::string> PSSpecifier::valueText() {
    if (!getter_) return std::nullopt;
    auto owner = target();
    if (!owner) return std::nullopt;
    Value value = getter_(*owner, *this);
    // Only choice rows carry these two; other rows skip the look-ups' copies.
    if (!propertyForKey("validValues") || !propertyForKey("validTitles")) return plainText(value);
    Value values = valueProperty("validValues");
    Value titles = valueProperty("validTitles");
    if (values.array() && titles.array()) {
        const auto& vs = *values.array();
        const auto& ts = *titles.array();
        for (size_t i = 0; i < vs.size() && i < ts.size(); ++i) {
            if (vs[i] == value) return ts[i].stringValue();
        }
        return std::nullopt;
    }
    return plainText(value);
}

std::optional<double> PSSpecifier::level() const {
    const Value* held = property<Value>("level");
    if (!held) return std::nullopt;
    std::optional<double> level;
    if (auto real = held->real())
        level = *real;
    else if (auto integer = held->integer())
        level = static_cast<double>(*integer);
    if (!level || std::isnan(*level)) return std::nullopt;
    return std::clamp(*level, 0.0, 1.0);
}

void PSSpecifier::setLevel(double level) {
    setProperty(Value(level), "level");
}

bool commitEditText(const std::shared_ptr<PSSpecifier>& row, std::string_view text) {
    if (!row) throw std::runtime_error("no such row");
    if (row->cellType() != PSEditTextCell)
        throw std::runtime_error("row \"" + row->name() + "\" takes no typed text");
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return false;
    text = text.substr(first, text.find_last_not_of(" \t") - first + 1);
    auto owner = row->target();
    if (!owner || !row->setter())
        throw std::runtime_error("row \"" + row->name() + "\" has no page to take its text");
    row->setter()(*owner, Value(std::string(text)), row);
    return true;
}

bool switchIsOn(PSSpecifier& row) {
    auto owner = row.target();
    if (!owner || !row.getter()) return false;
    Value value = row.getter()(*owner, row);
    if (auto flag = value.boolean()) return *flag;
    if (auto number = value.integer()) return *number != 0;
    return false;
}

void commitSwitch(const std::shared_ptr<PSSpecifier>& row, bool on) {
    if (!row) throw std::runtime_error("no such row");
    if (row->cellType() != PSSwitchCell)
        throw std::runtime_error("row \"" + row->name() + "\" is no switch");
    auto owner = row->target();
    if (!owner || !row->setter())
        throw std::runtime_error("row \"" + row->name() + "\" has no page to take its switch");
    row->setter()(*owner, Value(on), row);
}
