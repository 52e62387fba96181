#include "host/netpolicy/RestrictionStore.h"

#include "host/foundation/NSString.h"
#include "host/foundation/PreferenceStore.h"

namespace RestrictionStore {

namespace {

// The rows of traffic that belongs to no application of this user: nothing can keep it off.
constexpr std::string_view kReservedNames[] = {"org.bytarn.OtherUsers",
                                               "org.bytarn.SharedConnection"};

std::set<std::string> namesAt(const Value::Dictionary& stored, const char* key,
                              std::vector<std::string>* problems) {
    std::set<std::string> names;
    auto found = stored.find(key);
    if (found == stored.end()) return names;
    const Value::Array* array = found->second.array();
    if (!array) {
        if (problems) problems->push_back(std::string("the stored \"") + key + "\" is not a list");
        return names;
    }
    for (const Value& entry : *array) {
        const std::string* name = entry.string();
        std::optional<std::string> problem =
            name ? nameProblem(*name) : std::optional<std::string>("an entry is not text");
        if (problem) {
            if (problems)
                problems->push_back(std::string("the stored \"") + key + "\": " + *problem);
            continue;
        }
        names.insert(*name);
    }
    return names;
}

Value arrayOf(const std::set<std::string>& names) {
    Value::Array array;
    for (const auto& name : names) array.emplace_back(name);
    return array;
}

// Adds or removes `app` in the list under `key`, checked against the whole set's bound.
bool change(const char* key, std::string_view app, bool present, std::string* error) {
    if (auto problem = nameProblem(app)) {
        *error = *problem;
        return false;
    }
    Restrictions current = read();
    std::set<std::string>& names =
        std::string_view(key) == kRestrictedKey ? current.restricted : current.alwaysAllowed;
    const std::string name(app);
    if (names.count(name) == static_cast<std::size_t>(present)) return true;
    if (present && current.restricted.size() + current.alwaysAllowed.size() >= kMaxNames) {
        *error = "there are already " + std::to_string(kMaxNames) +
                 " applications restricted or always allowed; allow some first";
        return false;
    }
    if (present)
        names.insert(name);
    else
        names.erase(name);
    if (!PreferenceStore::setValueForKey(kDomain, key, arrayOf(names))) {
        *error = "cannot store the choice in " + PreferenceStore::pathForDomain(kDomain);
        return false;
    }
    return true;
}

}  // namespace

std::optional<std::string> nameProblem(std::string_view name) {
    // Quoted only once it is known to hold no control character.
    auto quoted = [&] { return "\"" + std::string(name) + "\""; };
    if (name.empty()) return std::string("an application's identifier cannot be empty");
    if (name.size() > kMaxNameBytes)
        return "an application's identifier has at most " + std::to_string(kMaxNameBytes) +
               " bytes, not " + std::to_string(name.size());
    if (!NSString::isValidUTF8(name))
        return std::string("an application's identifier is valid UTF-8, and this is not");
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7f)
            return std::string("an application's identifier cannot hold a control character");
    if (name.find('/') != std::string_view::npos)
        return quoted() + " holds a '/', which no identifier has";
    if (name.front() == '.') return quoted() + " starts with '.', which no identifier does";
    for (std::string_view reserved : kReservedNames)
        if (name == reserved)
            return quoted() +
                   " is the traffic of no application of yours; it cannot be kept "
                   "off mobile data";
    return std::nullopt;
}

Restrictions read(std::vector<std::string>* problems) {
    Value::Dictionary stored = PreferenceStore::allValues(kDomain);
    Restrictions restrictions;
    restrictions.restricted = namesAt(stored, kRestrictedKey, problems);
    restrictions.alwaysAllowed = namesAt(stored, kAlwaysAllowedKey, problems);
    // Past the bound (a hand-made file), restrictions go first: what is left out then stays on
    // mobile data, as everything does when the helper is gone.
    while (restrictions.restricted.size() + restrictions.alwaysAllowed.size() > kMaxNames) {
        auto& names =
            restrictions.restricted.empty() ? restrictions.alwaysAllowed : restrictions.restricted;
        if (problems)
            problems->push_back("more than " + std::to_string(kMaxNames) + " names are stored; \"" +
                                *names.rbegin() + "\" is left out");
        names.erase(std::prev(names.end()));
    }
    return restrictions;
}

bool setMobileData(std::string_view app, bool allowed, std::string* error) {
    return change(kRestrictedKey, app, !allowed, error);
}

bool setAlwaysAllowed(std::string_view app, bool always, std::string* error) {
    return change(kAlwaysAllowedKey, app, always, error);
}

}  // namespace RestrictionStore
