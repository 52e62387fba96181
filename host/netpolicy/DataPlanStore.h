#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/foundation/Value.h"
#include "host/netpolicy/DataPlan.h"
#include "host/netpolicy/DomainWatcher.h"

// The plans in the host's preference store: domain "org.bytarn.DataPlan", one key per network
// kind ("cellular", "wifi") holding the plan's dictionary, so that a plan is written whole in
// one atomic replacement of the file. The keys of the dictionary are in docs/DATAPLAN.md.
namespace DataPlanStore {

inline constexpr const char* kDomain = "org.bytarn.DataPlan";

// The stored form of a plan, and back. A stored dictionary that is not a sound plan gives
// nothing, with the reason in `error`.
Value valueOfPlan(const DataPlan& plan);
std::optional<DataPlan> planFromValue(std::string_view kind, const Value& value,
                                      std::string* error);

// The plan for a kind: nothing when none is stored, or when the stored one is unreadable (the
// reason then in `problem`, when given, for the caller to report once).
std::optional<DataPlan> plan(std::string_view kind, std::string* problem = nullptr);
// Every stored, readable plan, cellular first.
std::vector<DataPlan> plans();

// Stores a plan for its kind, replacing any other. An unsound plan is refused with
// validatePlan's sentence in `error`, as is a failed write, and nothing is changed.
bool store(const DataPlan& plan, std::string* error);
// Removes the plan of a kind; true when none is stored afterwards.
bool clear(std::string_view kind);

// Notices another process's changes to the plans without reading them: the domain's file is
// replaced at every write, so its identity (inode, modification time, size) changes. Make the
// watcher before reading the plans, then read them again whenever changed() says so.
class Watcher : public DomainWatcher {
  public:
    Watcher() : DomainWatcher(kDomain) {}
};

}  // namespace DataPlanStore
