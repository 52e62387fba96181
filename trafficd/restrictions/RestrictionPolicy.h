// Which applications each user keeps off cellular links: the per-uid sets the collectors send
// (restricted, exempt, paused), kept while the helper runs and never written anywhere, so that
// nothing stays blocked once it stops. Pure: the kernel's side is CellularBlocking's.
#pragma once

#include "trafficd/serving/RestrictionLine.h"

#include <sys/types.h>
#include <cstddef>
#include <map>
#include <optional>
#include <set>
#include <string>

namespace bytarn::trafficd {

class RestrictionPolicy {
  public:
    // Names (restricted and exempt together) one uid may hold.
    static constexpr std::size_t maxNamesPerUid = 1024;

    // What a line changed, for the log; `changed` false when it changed nothing.
    struct Outcome {
        bool changed = false;
        std::string summary;  // "restricted \"org.example.Mail\"", names printable
    };

    // Applies a line of uid's own. Returns the refusal (the line then changes nothing) when its
    // name is not one the helper sends (1-255 bytes of UTF-8, no control character, no '/', no
    // leading '.'), names a row that is not an application (all other users, the shared
    // connection), or would take uid past maxNamesPerUid.
    std::optional<std::string> apply(uid_t uid, const RestrictionLine& line, Outcome* outcome);

    // Whether the traffic of an application named `app` in a cgroup of `owner` (nullopt: a
    // system service, which only uid 0's lines reach) is kept off cellular: restricted by the
    // owner, or the owner's mobile data paused and the application not exempt.
    bool keepsOffCellular(std::optional<uid_t> owner, const std::string& app) const;

    // Whether some uid keeps something off cellular (restricted, or paused).
    bool restrictsAnything() const;

    struct UserSet {
        std::set<std::string> restricted, exempt;
        bool paused = false;
    };
    // Every uid's set (CellularBlocking reads them to find the programs they name).
    const std::map<uid_t, UserSet>& sets() const { return sets_; }

  private:
    std::map<uid_t, UserSet> sets_;
};

}  // namespace bytarn::trafficd
