// Who a cgroup's traffic belongs to: the application identifier that usage rows store, and the
// user whose slice holds the cgroup.
#pragma once

#include <sys/types.h>
#include <optional>
#include <string>
#include <string_view>

namespace bytarn::trafficd {

// The desktop file ID of an application unit as desktops name them
// (app-[<launcher>-]<ID>-<random>.scope, app-[<launcher>-]<ID>@<random>.service, Flatpak's
// app-flatpak-<ID>-<n>.scope): \xNN undone, a trailing ".desktop" dropped. nullopt for any other
// name, including malformed application units and IDs with '/', a leading '.' or a control
// character.
std::optional<std::string> applicationIdFromUnit(std::string_view unit);

struct CgroupIdentity {
    std::string app;
    // The uid of the user-<UID>.slice directly under user.slice at the top of the counted
    // hierarchy; nullopt for every other cgroup (the system's).
    std::optional<uid_t> owner;
    // Whether app is the program's name (no application unit names the cgroup, or a system
    // service's transient unit): its other sockets may go by other names.
    bool byProgram = false;
};

// The uid a "user-<UID>.slice" component names (systemd's spelling: decimal, no leading zero).
std::optional<uid_t> uidOfUserSlice(std::string_view component);

// path is relative to the cgroup2 mount ("/user.slice/..."); countedRoot is the counted
// hierarchy's top, relative to the mount too ("/" for the whole mount); comm is the program that
// created the socket, empty when unknown. The owner comes from countedRoot/user.slice/
// user-<UID>.slice and nothing deeper: users create cgroups below their own slice and may name
// them anything.
// - A user's cgroup: the innermost application unit, else the program, else the innermost unit
//   without its suffix.
// - Any other cgroup is a system service's, named by its innermost unit (.service, .scope,
//   .socket, .mount, .swap; never a .slice) without the suffix; a template instance by its
//   template ("getty@tty1.service": "getty"); a transient unit (a scope, systemd-run's
//   run-u<N>/run-r<hex>/run-p<PID>-i<N> services) by the program, else by its name less the part
//   after its last '-' ("docker-<id>.scope": "docker"). No unit at all (the root cgroup, an
//   unknown path): "system", never a program's name.
// Always made clean by cleanApplicationName.
CgroupIdentity identifyCgroup(std::string_view path, std::string_view comm,
                              std::string_view countedRoot = "/");

}  // namespace bytarn::trafficd
