#include "trafficd/serving/DeltaLedger.h"

#include "trafficd/Log.h"

#include <algorithm>

namespace bytarn::trafficd {

namespace {
int64_t slotOf(int64_t time) {
    return time >= 0 ? time / DeltaLedger::slotSeconds : (time + 1) / DeltaLedger::slotSeconds - 1;
}
}  // namespace

DeltaLedger::DeltaLedger(std::string epoch, size_t maxEntriesPerUid)
    : epoch_(std::move(epoch)), maxEntriesPerUid_(std::max<size_t>(maxEntriesPerUid, 1)) {}

void DeltaLedger::add(uid_t uid, int64_t time,
                      const std::map<std::pair<std::string, std::string>, uint64_t>& bytes) {
    if (std::none_of(bytes.begin(), bytes.end(),
                     [](const auto& entry) { return entry.second > 0; }))
        return;
    auto& user = users_[uid];
    // Deltas from this index on hold this reading (it may span several).
    size_t firstWritten = user.deltas.size();
    for (const auto& [key, count] : bytes) {
        if (count == 0) continue;
        // The last delta takes the entry while it is unsent, in this slot, and either holds the
        // key already or has room; else a new delta, with a seq of its own, starts. A full
        // delta's line stays below the collector's line limit, and each piece is counted and
        // acknowledged on its own.
        bool merges = !user.deltas.empty() && !user.deltas.back().sent &&
                      slotOf(user.deltas.back().time) == slotOf(time) &&
                      (user.deltas.back().bytes.size() < maxEntriesPerDelta ||
                       user.deltas.back().bytes.contains(key));
        if (!merges) {
            Delta delta;
            delta.seq = user.nextSeq++;
            user.deltas.push_back(std::move(delta));
        }
        firstWritten = std::min(firstWritten, user.deltas.size() - 1);
        auto& delta = user.deltas.back();
        delta.time = time;
        auto [entry, inserted] = delta.bytes.try_emplace(key, 0);
        // Saturate rather than wrap: the protocol promises values below 2^63.
        entry->second = std::min<uint64_t>(entry->second + count, (uint64_t{1} << 63) - 1);
        user.entries += inserted;
    }
    // The bound: drop the oldest deltas (never those just written) and say so, once per episode.
    bool dropped = false;
    while (user.entries > maxEntriesPerUid_ && firstWritten > 0) {
        --firstWritten;
        user.entries -= user.deltas.front().bytes.size();
        user.deltas.pop_front();
        dropped = true;
    }
    if (dropped && !user.boundLogged)
        logLine("uid " + std::to_string(uid) + ": more than " + std::to_string(maxEntriesPerUid_) +
                " unacknowledged usage entries; dropping the oldest deltas (is its collector "
                "running?)");
    user.boundLogged = dropped || (user.boundLogged && user.entries > maxEntriesPerUid_ / 2);
}

const Delta* DeltaLedger::takeAfter(uid_t uid, uint64_t seq) {
    auto found = users_.find(uid);
    if (found == users_.end()) return nullptr;
    for (auto& delta : found->second.deltas)
        if (delta.seq > seq) {
            delta.sent = true;
            found->second.highestSent = std::max(found->second.highestSent, delta.seq);
            return &delta;
        }
    return nullptr;
}

bool DeltaLedger::acknowledge(uid_t uid, const std::string& epoch, uint64_t seq) {
    auto found = users_.find(uid);
    if (epoch != epoch_ || found == users_.end() || seq > found->second.highestSent) return false;
    auto& user = found->second;
    while (!user.deltas.empty() && user.deltas.front().seq <= seq) {
        user.entries -= user.deltas.front().bytes.size();
        user.deltas.pop_front();
    }
    return true;
}

size_t DeltaLedger::pendingCount(uid_t uid) const {
    auto found = users_.find(uid);
    return found == users_.end() ? 0 : found->second.deltas.size();
}

uint64_t DeltaLedger::sentOutstanding(uid_t uid, uint64_t lastSent) const {
    auto found = users_.find(uid);
    if (found == users_.end()) return 0;
    uint64_t count = 0;
    for (const auto& delta : found->second.deltas) {
        if (delta.seq > lastSent) break;
        ++count;
    }
    return count;
}

}  // namespace bytarn::trafficd
