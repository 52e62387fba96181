#include "faults/FaultVfs.h"

#include <sqlite3.h>

#include <atomic>
#include <stdexcept>

namespace {

const char* const kName = "bytarn-fault";

std::atomic<bool> armed{false};
std::atomic<std::uint64_t> failAt{FaultVfs::kUnlimited};
std::atomic<std::uint64_t> budget{FaultVfs::kUnlimited};
std::atomic<std::uint64_t> callCount{0};
std::atomic<std::uint64_t> byteCount{0};
std::atomic<std::uint64_t> failureCount{0};

sqlite3_vfs shim;
sqlite3_vfs* base = nullptr;
bool installed = false;

// The shim's file: its own header, followed in the same allocation by the default VFS's file.
struct FaultFile {
    sqlite3_file header;
};

sqlite3_file* real(sqlite3_file* file) {
    return reinterpret_cast<sqlite3_file*>(reinterpret_cast<FaultFile*>(file) + 1);
}

// Whether the next writing call fails; counts it either way.
bool callFails() {
    std::uint64_t index = callCount++;
    if (armed && index >= failAt) {
        ++failureCount;
        return true;
    }
    return false;
}

int faultClose(sqlite3_file* file) {
    sqlite3_file* inner = real(file);
    int rc = inner->pMethods ? inner->pMethods->xClose(inner) : SQLITE_OK;
    file->pMethods = nullptr;
    return rc;
}

int faultRead(sqlite3_file* file, void* buffer, int amount, sqlite3_int64 offset) {
    return real(file)->pMethods->xRead(real(file), buffer, amount, offset);
}

int faultWrite(sqlite3_file* file, const void* buffer, int amount, sqlite3_int64 offset) {
    if (callFails()) return SQLITE_FULL;
    sqlite3_file* inner = real(file);
    if (armed) {
        std::uint64_t written = byteCount.load();
        std::uint64_t limit = budget.load();
        if (written + static_cast<std::uint64_t>(amount) > limit) {
            // The disk takes what fits, then is full.
            int fits = static_cast<int>(limit > written ? limit - written : 0);
            if (fits > 0) inner->pMethods->xWrite(inner, buffer, fits, offset);
            byteCount = limit;
            ++failureCount;
            return SQLITE_FULL;
        }
    }
    int rc = inner->pMethods->xWrite(inner, buffer, amount, offset);
    if (rc == SQLITE_OK) byteCount += static_cast<std::uint64_t>(amount);
    return rc;
}

int faultTruncate(sqlite3_file* file, sqlite3_int64 size) {
    if (callFails()) return SQLITE_IOERR_TRUNCATE;
    return real(file)->pMethods->xTruncate(real(file), size);
}

int faultSync(sqlite3_file* file, int flags) {
    if (callFails()) return SQLITE_IOERR_FSYNC;
    return real(file)->pMethods->xSync(real(file), flags);
}

int faultFileSize(sqlite3_file* file, sqlite3_int64* size) {
    return real(file)->pMethods->xFileSize(real(file), size);
}

int faultLock(sqlite3_file* file, int level) {
    return real(file)->pMethods->xLock(real(file), level);
}

int faultUnlock(sqlite3_file* file, int level) {
    return real(file)->pMethods->xUnlock(real(file), level);
}

int faultCheckReservedLock(sqlite3_file* file, int* result) {
    return real(file)->pMethods->xCheckReservedLock(real(file), result);
}

int faultFileControl(sqlite3_file* file, int op, void* argument) {
    return real(file)->pMethods->xFileControl(real(file), op, argument);
}

int faultSectorSize(sqlite3_file* file) {
    return real(file)->pMethods->xSectorSize(real(file));
}

int faultDeviceCharacteristics(sqlite3_file* file) {
    return real(file)->pMethods->xDeviceCharacteristics(real(file));
}

int faultShmMap(sqlite3_file* file, int region, int size, int extend, void volatile** mapped) {
    sqlite3_file* inner = real(file);
    if (inner->pMethods->iVersion < 2) return SQLITE_IOERR_SHMMAP;
    return inner->pMethods->xShmMap(inner, region, size, extend, mapped);
}

int faultShmLock(sqlite3_file* file, int offset, int count, int flags) {
    return real(file)->pMethods->xShmLock(real(file), offset, count, flags);
}

void faultShmBarrier(sqlite3_file* file) {
    real(file)->pMethods->xShmBarrier(real(file));
}

int faultShmUnmap(sqlite3_file* file, int deleteFlag) {
    return real(file)->pMethods->xShmUnmap(real(file), deleteFlag);
}

int faultFetch(sqlite3_file* file, sqlite3_int64 offset, int amount, void** page) {
    sqlite3_file* inner = real(file);
    if (inner->pMethods->iVersion < 3) {
        *page = nullptr;
        return SQLITE_OK;
    }
    return inner->pMethods->xFetch(inner, offset, amount, page);
}

int faultUnfetch(sqlite3_file* file, sqlite3_int64 offset, void* page) {
    sqlite3_file* inner = real(file);
    if (inner->pMethods->iVersion < 3) return SQLITE_OK;
    return inner->pMethods->xUnfetch(inner, offset, page);
}

const sqlite3_io_methods kMethods = {
    3,
    faultClose,
    faultRead,
    faultWrite,
    faultTruncate,
    faultSync,
    faultFileSize,
    faultLock,
    faultUnlock,
    faultCheckReservedLock,
    faultFileControl,
    faultSectorSize,
    faultDeviceCharacteristics,
    faultShmMap,
    faultShmLock,
    faultShmBarrier,
    faultShmUnmap,
    faultFetch,
    faultUnfetch,
};

int faultOpen(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* file, int flags, int* outFlags) {
    sqlite3_file* inner = real(file);
    int rc = base->xOpen(base, name, inner, flags, outFlags);
    // Without methods of its own the file is not open, and SQLite must not close it.
    file->pMethods = inner->pMethods ? &kMethods : nullptr;
    return rc;
}

int faultDelete(sqlite3_vfs*, const char* name, int syncDirectory) {
    return base->xDelete(base, name, syncDirectory);
}

int faultAccess(sqlite3_vfs*, const char* name, int flags, int* result) {
    return base->xAccess(base, name, flags, result);
}

int faultFullPathname(sqlite3_vfs*, const char* name, int size, char* out) {
    return base->xFullPathname(base, name, size, out);
}

}  // namespace

FaultVfs::FaultVfs() {
    if (installed) throw std::logic_error("one FaultVfs at a time");
    base = sqlite3_vfs_find(nullptr);
    if (!base) throw std::runtime_error("no default SQLite VFS");
    shim = *base;
    shim.zName = kName;
    shim.pNext = nullptr;
    shim.szOsFile = static_cast<int>(sizeof(FaultFile)) + base->szOsFile;
    shim.pAppData = nullptr;
    shim.xOpen = faultOpen;
    shim.xDelete = faultDelete;
    shim.xAccess = faultAccess;
    shim.xFullPathname = faultFullPathname;
    if (sqlite3_vfs_register(&shim, 1) != SQLITE_OK)
        throw std::runtime_error("cannot register the fault VFS");
    installed = true;
    disarm();
}

FaultVfs::~FaultVfs() {
    disarm();
    sqlite3_vfs_unregister(&shim);
    // Unregistering the default makes the next one in the list the default: the one we wrapped.
    sqlite3_vfs_register(base, 1);
    installed = false;
}

void FaultVfs::arm(std::uint64_t failAtCall, std::uint64_t byteBudget) {
    armed = false;
    callCount = 0;
    byteCount = 0;
    failureCount = 0;
    failAt = failAtCall;
    budget = byteBudget;
    armed = true;
}

void FaultVfs::disarm() {
    armed = false;
}

std::uint64_t FaultVfs::calls() const {
    return callCount;
}

std::uint64_t FaultVfs::bytesWritten() const {
    return byteCount;
}

std::uint64_t FaultVfs::failures() const {
    return failureCount;
}
