#include "trafficd/cgroups/CgroupIdentity.h"

#include "trafficd/cgroups/ApplicationName.h"

#include <charconv>
#include <vector>

namespace bytarn::trafficd {

namespace {

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> fields;
    for (;;) {
        auto at = text.find(separator);
        fields.push_back(text.substr(0, at));
        if (at == std::string_view::npos) return fields;
        text.remove_prefix(at + 1);
    }
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// systemd's unit-name escaping: every byte outside [A-Za-z0-9:_.] is \xNN.
std::optional<std::string> unescape(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c != '\\') {
            out += c;
            continue;
        }
        if (i + 3 >= text.size() || text[i + 1] != 'x') return std::nullopt;
        int high = hexDigit(text[i + 2]), low = hexDigit(text[i + 3]);
        if (high < 0 || low < 0) return std::nullopt;
        out += static_cast<char>(high * 16 + low);
        i += 3;
    }
    for (unsigned char c : out)
        if (c < 0x20 || c == 0x7f) return std::nullopt;
    return out;
}

}  // namespace

std::optional<std::string> applicationIdFromUnit(std::string_view unit) {
    constexpr std::string_view prefix = "app-", scope = ".scope", service = ".service";
    if (!unit.starts_with(prefix)) return std::nullopt;
    std::string_view escapedId;
    if (unit.ends_with(scope)) {
        // app-[<launcher>-]<ID>-<random>.scope
        auto fields =
            split(unit.substr(prefix.size(), unit.size() - prefix.size() - scope.size()), '-');
        if (fields.size() != 2 && fields.size() != 3) return std::nullopt;
        for (auto field : fields)
            if (field.empty()) return std::nullopt;
        escapedId = fields[fields.size() - 2];
    } else if (unit.ends_with(service)) {
        // app-[<launcher>-]<ID>@<random>.service
        auto body = unit.substr(prefix.size(), unit.size() - prefix.size() - service.size());
        auto at = body.find('@');
        if (at == std::string_view::npos || at + 1 == body.size() ||
            body.find('@', at + 1) != std::string_view::npos)
            return std::nullopt;
        auto fields = split(body.substr(0, at), '-');
        if (fields.size() != 1 && fields.size() != 2) return std::nullopt;
        for (auto field : fields)
            if (field.empty()) return std::nullopt;
        escapedId = fields.back();
    } else {
        return std::nullopt;
    }
    auto id = unescape(escapedId);
    if (!id) return std::nullopt;
    constexpr std::string_view desktop = ".desktop";
    if (id->ends_with(desktop)) id->resize(id->size() - desktop.size());
    // An identifier names a file in the title service's applications/ folders: nothing that
    // could leave it or name a hidden file. Such a unit is then named as any other cgroup is.
    if (id->empty() || id->front() == '.' || id->find('/') != std::string::npos)
        return std::nullopt;
    return id;
}

std::optional<uid_t> uidOfUserSlice(std::string_view component) {
    constexpr std::string_view userPrefix = "user-", slice = ".slice";
    if (component.size() <= userPrefix.size() + slice.size() ||
        !component.starts_with(userPrefix) || !component.ends_with(slice))
        return std::nullopt;
    auto digits =
        component.substr(userPrefix.size(), component.size() - userPrefix.size() - slice.size());
    // systemd's spelling only: decimal digits, no sign, no leading zero.
    if (digits.find_first_not_of("0123456789") != std::string_view::npos ||
        (digits.size() > 1 && digits.front() == '0'))
        return std::nullopt;
    uid_t uid = 0;
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), uid);
    if (error != std::errc{} || end != digits.data() + digits.size()) return std::nullopt;
    return uid;
}

CgroupIdentity identifyCgroup(std::string_view path, std::string_view comm,
                              std::string_view countedRoot) {
    CgroupIdentity identity;
    // Only what lies below the counted root names the traffic; a path outside it is the system's.
    while (countedRoot.ends_with('/')) countedRoot.remove_suffix(1);
    std::vector<std::string_view> components;
    if (path.starts_with(countedRoot) &&
        (path.size() == countedRoot.size() || path[countedRoot.size()] == '/')) {
        for (auto component : split(path.substr(countedRoot.size()), '/'))
            if (!component.empty()) components.push_back(component);
    }
    // The owner is fixed by the two levels that only root can create: user.slice/user-<UID>.slice
    // at the top. Whatever a user creates below (a nested "user-0.slice" in a delegated subtree)
    // changes nothing.
    if (components.size() >= 2 && components[0] == "user.slice")
        identity.owner = uidOfUserSlice(components[1]);
    std::optional<std::string> app;
    std::string_view innermostUnit;
    for (auto component : components) {
        if (auto id = applicationIdFromUnit(component)) app = std::move(id);
        innermostUnit = component;
    }
    if (app) {
        identity.app = std::move(*app);
    } else if (!comm.empty()) {
        identity.app = std::string(comm);
    } else if (auto dot = innermostUnit.rfind('.'); dot != std::string_view::npos && dot > 0) {
        identity.app = std::string(innermostUnit.substr(0, dot));
    } else if (!innermostUnit.empty()) {
        identity.app = std::string(innermostUnit);
    } else {
        identity.app = "system";
    }
    identity.app = cleanApplicationName(identity.app);
    return identity;
}

}  // namespace bytarn::trafficd
