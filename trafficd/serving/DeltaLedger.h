// Per-user deltas kept until that user's collector acknowledges them. One ledger per helper run
// (one epoch); each uid has its own sequence starting at 1.
#pragma once

#include <sys/types.h>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>

namespace bytarn::trafficd {

struct Delta {
    uint64_t seq = 0;
    int64_t time = 0;  // Unix seconds of the reading that ends the delta
    std::map<std::pair<std::string, std::string>, uint64_t> bytes;  // (app, kind) -> bytes
    bool sent = false;  // once sent it never changes: the client may have committed it
};

class DeltaLedger {
  public:
    static constexpr int64_t slotSeconds = 15 * 60;
    // Entries of one delta. An entry's line text is at most about 580 bytes (a name of 255 bytes,
    // each escaped to at most 2 in JSON once names are clean, a kind, 19 digits), so a full
    // delta's line stays below 600 KB, well under the collector's 1 MiB line limit; more entries
    // go to the next delta.
    static constexpr size_t maxEntriesPerDelta = 1024;

    // maxEntriesPerUid bounds memory: (app, kind) entries over all deltas a uid holds.
    explicit DeltaLedger(std::string epoch, size_t maxEntriesPerUid = 200000);

    const std::string& epoch() const { return epoch_; }

    // Adds one reading's growth for uid. It merges into the uid's last delta while that one is
    // unsent, in the same 15-minute slot and below maxEntriesPerDelta entries (or holds the
    // entry's key already). Zero-byte entries are dropped; nothing is added when none remain.
    void add(uid_t uid, int64_t time,
             const std::map<std::pair<std::string, std::string>, uint64_t>& bytes);

    // The first delta after seq (0: from the start) that uid holds, or nullptr. Marks it sent.
    const Delta* takeAfter(uid_t uid, uint64_t seq);

    // Forgets uid's deltas up to and including seq. False (and nothing forgotten) for another
    // epoch or a seq never sent to uid (on this or an earlier connection).
    bool acknowledge(uid_t uid, const std::string& epoch, uint64_t seq);

    size_t pendingCount(uid_t uid) const;
    // How many of uid's held deltas have a seq up to lastSent (sent, not yet acknowledged).
    uint64_t sentOutstanding(uid_t uid, uint64_t lastSent) const;

  private:
    struct UserDeltas {
        std::deque<Delta> deltas;
        uint64_t nextSeq = 1;
        uint64_t highestSent = 0;
        size_t entries = 0;
        bool boundLogged = false;
    };
    std::string epoch_;
    size_t maxEntriesPerUid_;
    std::unordered_map<uid_t, UserDeltas> users_;
};

}  // namespace bytarn::trafficd
