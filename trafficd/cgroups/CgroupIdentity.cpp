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

namespace {

// systemd's unit types that hold processes; a slice only groups them.
constexpr std::string_view processUnitSuffixes[] = {".service", ".scope", ".socket", ".mount",
                                                    ".swap"};

std::optional<std::string_view> suffixOfProcessUnit(std::string_view component) {
    for (auto suffix : processUnitSuffixes)
        if (component.size() > suffix.size() && component.ends_with(suffix)) return suffix;
    return std::nullopt;
}

bool allOf(std::string_view text, std::string_view digits) {
    return !text.empty() && text.find_first_not_of(digits) == std::string_view::npos;
}

// systemd-run's names for the units it makes: run-u<N>, run-r<hex>, run-p<PID>-i<N>.
bool isSystemdRunName(std::string_view name) {
    if (!name.starts_with("run-") || name.size() < 6) return false;
    auto rest = name.substr(5);
    switch (name[4]) {
        case 'u':
            return allOf(rest, "0123456789");
        case 'r':
            return allOf(rest, "0123456789abcdef");
        case 'p': {
            auto instance = rest.find("-i");
            return instance != std::string_view::npos &&
                   allOf(rest.substr(0, instance), "0123456789") &&
                   allOf(rest.substr(instance + 2), "0123456789");
        }
        default:
            return false;
    }
}

// A system service's name: its unit without the suffix, a template instance by its template
// ("getty@tty1.service" is "getty"), a transient unit (every scope, systemd-run's services) by
// the program that made the socket, else by its name less the part after the last '-' that
// changes from run to run ("docker-<id>", "session-7", "run-u123"). Names stay few and stable
// over months of history. Without any unit (the root cgroup, a path not known) the traffic is
// "system": a program's name alone could be a user's, and must not reach others as a system row.
std::string systemServiceName(const std::vector<std::string_view>& components,
                              std::string_view comm, bool* byProgram) {
    for (auto component = components.rbegin(); component != components.rend(); ++component) {
        auto suffix = suffixOfProcessUnit(*component);
        if (!suffix) continue;
        auto name = component->substr(0, component->size() - suffix->size());
        auto escapedName = unescape(name);
        std::string unit = escapedName ? *escapedName : std::string(name);
        bool systemdRun = *suffix == ".service" && isSystemdRunName(unit);
        if (!systemdRun && *suffix != ".scope") {
            if (auto at = unit.find('@'); at != std::string::npos && at > 0) unit.resize(at);
            return unit;
        }
        // Transient: the program, else the stem.
        if (!comm.empty()) {
            *byProgram = true;
            return std::string(comm);
        }
        if (systemdRun) return "run";
        if (auto dash = unit.rfind('-'); dash != std::string::npos && dash > 0) unit.resize(dash);
        return unit;
    }
    return "system";
}

}  // namespace

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
    if (!identity.owner) {
        identity.app =
            cleanApplicationName(systemServiceName(components, comm, &identity.byProgram));
        return identity;
    }
    // A user's own cgroups: the innermost application unit, else the program, else the
    // innermost unit without its suffix.
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
        identity.byProgram = true;
    } else if (auto dot = innermostUnit.rfind('.'); dot != std::string_view::npos && dot > 0) {
        identity.app = std::string(innermostUnit.substr(0, dot));
    } else {
        identity.app = std::string(innermostUnit);
    }
    identity.app = cleanApplicationName(identity.app);
    return identity;
}

}  // namespace bytarn::trafficd
