// The collector's traffic feed with untrusted input: "record APP KIND BYTES" lines read from a
// descriptor by RecordLineReader, in whatever pieces the reads return. The reader must count
// exactly the lines that a line-by-line reading accepts and rejects, and the collector must hold
// exactly their bytes; every accepted line must read the same once written out again.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>

#include "collector/UsageCollector.h"
#include "collector/sources/RecordLineReader.h"
#include "fuzz/FuzzSupport.h"

namespace {

using FuzzSupport::fail;

struct Expected {
    std::size_t recorded = 0;
    std::size_t rejected = 0;
    std::map<std::string, UsageRow> totals;
};

// Both counts are at most the limit, so the sum fits in 64 bits.
std::uint64_t saturatingAdd(std::uint64_t a, std::uint64_t b) {
    return std::min(UsageCollector::kCounterLimit, a + b);
}

void expectLine(std::string_view line, Expected& expected) {
    if (line.size() > RecordLineReader::kMaxLineLength) {
        ++expected.rejected;
        return;
    }
    std::size_t start = line.find_first_not_of(" \t\r");
    if (start == std::string_view::npos || line[start] == '#') return;
    std::string error;
    auto parsed = parseRecordLine(line, &error);
    if (!parsed) {
        if (error.empty()) fail("a refused line gave no reason", std::string(line));
        ++expected.rejected;
        return;
    }
    std::string written = "record " + parsed->app + " " + networkKindName(parsed->kind) + " " +
                          std::to_string(parsed->bytes);
    std::string again;
    auto reread = parseRecordLine(written, &again);
    if (!reread || !(*reread == *parsed))
        fail("an accepted line reads differently written out", written);
    ++expected.recorded;
    if (parsed->bytes == 0) return;  // nothing to count
    UsageRow& row = expected.totals[parsed->app];
    row.app = parsed->app;
    std::uint64_t* counter = parsed->kind == NetworkKind::Wifi       ? &row.wifi
                             : parsed->kind == NetworkKind::Cellular ? &row.cellular
                                                                     : &row.unknown;
    *counter = saturatingAdd(*counter, parsed->bytes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzSupport::resetForInput();
    std::string_view text = FuzzSupport::textOf(data, size);

    Expected expected;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t newline = text.find('\n', at);
        if (newline == std::string_view::npos) {
            expectLine(text.substr(at), expected);
            break;
        }
        expectLine(text.substr(at, newline - at), expected);
        at = newline + 1;
    }

    int fd = memfd_create("records", MFD_CLOEXEC);
    if (fd < 0) fail("memfd_create failed", "");
    if (write(fd, data, size) != static_cast<ssize_t>(size) || lseek(fd, 0, SEEK_SET) != 0)
        fail("cannot fill the memory file", "");
    UsageCollector collector(FuzzSupport::home() + "/usage.sqlite3");
    {
        RecordLineReader reader(collector, fd, "fuzz input");
        if (!reader.start()) fail("the reader did not start", "");
        reader.waitUntilEnd();
        if (reader.recordedLines() != expected.recorded ||
            reader.rejectedLines() != expected.rejected)
            fail("the reader counted differently from a line-by-line reading",
                 std::to_string(reader.recordedLines()) + " recorded, " +
                     std::to_string(reader.rejectedLines()) + " rejected; expected " +
                     std::to_string(expected.recorded) + " and " +
                     std::to_string(expected.rejected));
    }
    close(fd);

    auto unsaved = collector.unsavedUsage();
    if (unsaved.size() != expected.totals.size())
        fail("the collector holds another number of applications", std::to_string(unsaved.size()));
    for (const UsageRow& row : unsaved) {
        auto found = expected.totals.find(row.app);
        if (found == expected.totals.end())
            fail("the collector holds an unknown application", row.app);
        const UsageRow& want = found->second;
        if (row.wifi != want.wifi || row.cellular != want.cellular || row.unknown != want.unknown)
            fail("the collector holds other counts", row.app);
    }
    return 0;
}
