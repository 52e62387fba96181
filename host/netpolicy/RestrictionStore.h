#pragma once

#include <cstddef>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "host/netpolicy/DomainWatcher.h"

// The user's choices about mobile data per application, in the host's preference store: domain
// "org.bytarn.Restrictions", key "restricted" (the applications whose "Mobile data" is off) and
// key "alwaysAllowed" (those that keep mobile data while the plan's limit pauses it), each an
// array of application identifiers as the usage rows name them. The collector follows the
// domain and hands the set to the traffic helper (docs/TRAFFIC.md, docs/DATAPLAN.md); the
// commands and the Data plan page write it.
namespace RestrictionStore {

inline constexpr const char* kDomain = "org.bytarn.Restrictions";
inline constexpr const char* kRestrictedKey = "restricted";
inline constexpr const char* kAlwaysAllowedKey = "alwaysAllowed";
// What the traffic helper takes per user: restricted and always-allowed names together.
inline constexpr std::size_t kMaxNames = 1024;
inline constexpr std::size_t kMaxNameBytes = 255;

// Why `name` cannot be restricted or always allowed, in one sentence; nothing when it can. The
// rule is the traffic helper's for its restriction lines (docs/TRAFFIC.md, "Restrictions"): 1
// to 255 bytes of valid UTF-8, no control character (below 0x20, or 0x7f), no '/', not
// starting with '.'; and not one of the rows that stand for traffic of no application of this
// user ("org.bytarn.OtherUsers", "org.bytarn.SharedConnection").
std::optional<std::string> nameProblem(std::string_view name);

struct Restrictions {
    std::set<std::string> restricted;     // "Mobile data" off
    std::set<std::string> alwaysAllowed;  // kept on mobile data while the limit pauses it
    bool operator==(const Restrictions&) const = default;
};

// The stored choices. A stored entry that is not a usable name (another hand wrote it) is left
// out, its reason added to `problems` when given; past kMaxNames names the rest is left out too.
Restrictions read(std::vector<std::string>* problems = nullptr);

// Turns an application's "Mobile data" off (`allowed` false) or on again; true when stored as
// asked (also when it already was). A name that nameProblem refuses, a set already holding
// kMaxNames names, or a failed write give false with the sentence in `error`, and change
// nothing.
bool setMobileData(std::string_view app, bool allowed, std::string* error);
// Marks an application "Always allowed" (`always` true) or not; as setMobileData.
bool setAlwaysAllowed(std::string_view app, bool always, std::string* error);

// Notices other processes' writes to the choices: make it before reading them, then read them
// again whenever changed() says so (one stat).
class Watcher : public DomainWatcher {
  public:
    Watcher() : DomainWatcher(kDomain) {}
};

}  // namespace RestrictionStore
