// Hostile "record" lines on the collector's feed: each is rejected with a line that says why,
// counted as rejected, and leaves every counter as it was; the counts that were there reach
// the database whole at the next save.
#include <unistd.h>

#include <algorithm>
#include <limits>

#include "collector/CollectorTestSupport.h"
#include "collector/UsageCollector.h"
#include "collector/UsageDatabase.h"
#include "collector/sources/RecordLineReader.h"
#include "hostile/Catalogue.h"
#include "support/QuietMainLoopTest.h"
#include "support/TestEnvironment.h"

namespace {

// Feeds text through a pipe to a reader of its own and waits until it has read all of it.
struct Feed {
    std::size_t recorded = 0;
    std::size_t rejected = 0;
};

Feed feed(UsageCollector& collector, const std::string& text) {
    int fds[2];
    if (pipe(fds) != 0) return {};
    RecordLineReader reader(collector, fds[0], "the hostile feed");
    reader.start();
    std::size_t at = 0;
    while (at < text.size()) {
        ssize_t n = write(fds[1], text.data() + at, text.size() - at);
        if (n <= 0) break;
        at += static_cast<std::size_t>(n);
    }
    close(fds[1]);
    reader.waitUntilEnd();
    close(fds[0]);
    return {reader.recordedLines(), reader.rejectedLines()};
}

class HostileRecordLines : public QuietMainLoopTest {
  protected:
    ScratchHome home;
    UsageCollector collector{UsageDatabase::defaultPath()};
};

TEST_F(HostileRecordLines, EachIsRejectedAndTheCountersStay) {
    struct Case {
        const char* what;
        std::string line;  // sent with a newline after it
        const char* reason;
    };
    const std::string longLine = "record " + std::string(5000, 'a') + " wifi 1";
    const Case cases[] = {
        {"only the command", "record", "not 1 words"},
        {"a missing count", "record org.example.A wifi", "not 3 words"},
        {"an extra field", "record org.example.A wifi 1 2", "not 5 words"},
        {"many extra fields", "record a wifi 1 " + std::string(1000, 'x') + " y z", "not 7 words"},
        {"another command", "delete org.example.A", "unknown command \"delete\""},
        {"the command in capitals", "RECORD org.example.A wifi 1", "unknown command \"RECORD\""},
        {"a negative count", "record org.example.A wifi -1", "\"-1\" is not a byte count"},
        {"a signed count", "record org.example.A wifi +1", "\"+1\" is not a byte count"},
        {"2^63, one past the largest count", "record org.example.A wifi 9223372036854775808",
         "too large"},
        {"2^64", "record org.example.A wifi 18446744073709551616", "too large"},
        {"a count of a hundred digits", "record org.example.A wifi " + std::string(100, '9'),
         "too large"},
        {"a real count", "record org.example.A wifi 1.5", "is not a byte count"},
        {"an exponent", "record org.example.A wifi 1e9", "is not a byte count"},
        {"a hexadecimal count", "record org.example.A wifi 0x10", "is not a byte count"},
        {"a word for a count", "record org.example.A wifi lots", "is not a byte count"},
        {"an unknown kind", "record org.example.A bluetooth 1", "unknown network kind"},
        {"a kind in capitals", "record org.example.A CELLULAR 1", "unknown network kind"},
        {"a line longer than the reader takes", longLine, "longer than 4096 bytes"},
        {"a NUL byte in the application", std::string("record org.ex\0ample wifi 1", 26),
         "control character"},
        {"a NUL byte in the count", std::string("record org.example.A wifi 1\0", 28),
         "\"1\\x00\" is not a byte count"},
        {"an escape sequence as the command", "\x1b[2J org.example.A wifi 1",
         "unknown command \"\\x1b[2J\""},
        {"a NUL byte in the kind", std::string("record org.example.A wi\0fi 1", 28),
         "unknown network kind \"wi\\x00fi\""},
        {"a NUL byte as the application", std::string("record \0 wifi 1", 15), "control character"},
        {"an escape sequence in the application", "record \x1b[2Jclear wifi 1",
         "control character"},
        {"a lone continuation byte", "record org.\x80.app wifi 1", "not valid UTF-8"},
        {"an overlong encoding of \"/\"", "record org.\xc0\xaf.app wifi 1", "not valid UTF-8"},
        {"an encoded surrogate", "record org.\xed\xa0\x80.app wifi 1", "not valid UTF-8"},
        {"a sequence cut short", "record org.app\xe2\x82 wifi 1", "not valid UTF-8"},
        {"an application of 256 bytes", "record " + std::string(256, 'a') + " wifi 1",
         "longer than 255 bytes"},
        {"a carriage return inside the line", "record org.example.A\rwifi 1", "not 3 words"},
    };

    // Counts that are already there and must come through untouched.
    collector.record("org.example.A", NetworkKind::Wifi, 1000);
    collector.record("org.example.B", NetworkKind::Cellular, 24);
    const auto before = collector.unsavedUsage();

    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SystemLog::takeCaptured();
        Feed result = feed(collector, c.line + "\n");
        EXPECT_EQ(result.recorded, 0u);
        EXPECT_EQ(result.rejected, 1u);
        auto log = SystemLog::takeCaptured();
        ASSERT_EQ(log.size(), 1u);
        EXPECT_TRUE(log[0].starts_with("RecordLineReader: the hostile feed line 1: ")) << log[0];
        EXPECT_NE(log[0].find(c.reason), std::string::npos) << log[0];
        // The line is whole and printable: no NUL cuts it short, no escape reaches a terminal.
        EXPECT_EQ(std::count_if(log[0].begin(), log[0].end(),
                                [](char ch) { return static_cast<unsigned char>(ch) < 0x20; }),
                  0)
            << log[0];
        EXPECT_EQ(collector.unsavedUsage(), before);
    }

    // Lines that are skipped without a word: blank, white space, comments.
    SystemLog::takeCaptured();
    Feed quiet = feed(collector, "\n \t \r\n# record org.example.A wifi 5\n\n");
    EXPECT_EQ(quiet.recorded + quiet.rejected, 0u);
    catalogue::expectLog({});
    EXPECT_EQ(collector.unsavedUsage(), before);

    // All of them at once, between good lines: the good ones count, the rest do not.
    std::string all = "record org.example.A wifi 1\n";
    for (const auto& c : cases) all += c.line + "\n";
    all += "record org.example.A wifi 1";
    Feed mixed = feed(collector, all);
    EXPECT_EQ(mixed.recorded, 2u);
    EXPECT_EQ(mixed.rejected, std::size(cases));
    EXPECT_EQ(SystemLog::takeCaptured().size(), std::size(cases));
    EXPECT_EQ(collector.unsavedUsage(),
              (std::vector<UsageRow>{{"org.example.A", "2026-12-06", 1002, 0, 0},
                                     {"org.example.B", "2026-12-06", 0, 24, 0}}));
    ASSERT_TRUE(collector.save());
    EXPECT_EQ(
        queryRows(UsageDatabase::defaultPath(),
                  "SELECT app, date, usage_wifi, usage_cellular, usage_unknown FROM usage "
                  "ORDER BY app"),
        (std::vector<std::vector<std::string>>{{"org.example.A", "2026-12-06", "1002", "0", "0"},
                                               {"org.example.B", "2026-12-06", "0", "24", "0"}}));
    RecordProperty("rejected_lines", static_cast<int>(std::size(cases)));
}

// The largest counts a line may carry stop at the counter's limit instead of wrapping, in memory
// and in the database, however often they come.
TEST_F(HostileRecordLines, LargestCountsSaturate) {
    const std::string largest = "record org.example.A wifi 9223372036854775807\n";
    constexpr std::uint64_t kLimit = UsageCollector::kCounterLimit;
    Feed result = feed(collector, largest + largest + largest);
    EXPECT_EQ(result.recorded, 3u);
    EXPECT_EQ(collector.unsavedUsage(),
              (std::vector<UsageRow>{{"org.example.A", "2026-12-06", kLimit, 0, 0}}));
    ASSERT_TRUE(collector.save());
    feed(collector, largest);
    ASSERT_TRUE(collector.save());
    EXPECT_EQ(queryRows(UsageDatabase::defaultPath(), "SELECT usage_wifi FROM usage"),
              (std::vector<std::vector<std::string>>{{"9223372036854775807"}}));
}

}  // namespace
