#pragma once

#include <cstdint>

// A disk that fills up on cue: an SQLite VFS over the default one that forwards every call and
// fails the writing ones (xWrite, xTruncate, xSync) once a budget is spent. While installed it
// is the default VFS, so every connection of the process opened without a VFS name goes
// through it, the collector's and the page's alike.
//
// Two budgets, which can be combined:
// - calls: the writing call with this index (0 for the first after arm()) fails, and so does
//   every later one until disarm(): the disk stays full;
// - bytes: writes go through until this many bytes have been written since arm(); the write
//   that crosses the budget puts its first part on disk (a torn write) and fails.
// A failing xWrite answers SQLITE_FULL, a failing xTruncate SQLITE_IOERR_TRUNCATE and a failing
// xSync SQLITE_IOERR_FSYNC, as the default VFS does when the disk is full or a flush fails.
class FaultVfs {
  public:
    static constexpr std::uint64_t kUnlimited = ~std::uint64_t{0};

    // Registers the shim as the default VFS; the previous default comes back on destruction.
    // One instance at a time.
    FaultVfs();
    ~FaultVfs();
    FaultVfs(const FaultVfs&) = delete;
    FaultVfs& operator=(const FaultVfs&) = delete;

    // Starts counting afresh with the given budgets.
    void arm(std::uint64_t failAtCall, std::uint64_t byteBudget = kUnlimited);
    // Lets every call through again; the counts go on.
    void disarm();

    // Since the last arm(): writing calls seen, bytes written, calls failed.
    std::uint64_t calls() const;
    std::uint64_t bytesWritten() const;
    std::uint64_t failures() const;
};
