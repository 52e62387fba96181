#pragma once

#include <cstdint>
#include <optional>
#include <string>

struct sqlite3;

// How far a traffic source's counted deltas go: every delta of `epoch` up to and including `seq`
// is in the counts. A source that can be sent a delta again (after a reconnection, or to a new
// collector on the same database) keeps this with the counts, so that it counts each delta once.
struct SourceProgress {
    std::string epoch;
    std::int64_t seq = 0;

    // Whether the delta (epoch, seq) is already counted.
    bool covers(const std::string& deltaEpoch, std::int64_t deltaSeq) const {
        return deltaEpoch == epoch && deltaSeq <= seq;
    }
    bool operator==(const SourceProgress&) const = default;
};

// Table `usage_sources(source TEXT PRIMARY KEY, epoch TEXT NOT NULL, seq INTEGER NOT NULL)` in
// the usage database: each source's progress, written in the same transaction as the counts it
// covers. The table is made when first written; a database without it has no progress.
namespace SourceProgressTable {

// Writes the source's progress; the caller holds the transaction. Throws std::runtime_error
// with SQLite's message.
void write(sqlite3* db, const std::string& source, const SourceProgress& progress);

// The source's saved progress, nothing when none is saved. Throws std::runtime_error with
// SQLite's message.
std::optional<SourceProgress> read(sqlite3* db, const std::string& source);

}  // namespace SourceProgressTable
