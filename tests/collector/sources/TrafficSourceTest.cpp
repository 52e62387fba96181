#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "collector/UsageCollector.h"
#include "collector/UsageDatabase.h"
#include "collector/sources/RecordLineReader.h"
#include "collector/sources/SyntheticTrafficSource.h"
#include "host/foundation/RunLoop.h"
#include "host/foundation/SystemLog.h"
#include "support/TestEnvironment.h"

namespace {

TEST(RecordLine, WellFormedLinesAreReadAndOthersSayWhy) {
    struct {
        const char* line;
        std::optional<RecordLine> parsed;
        const char* error = "";  // part of the message when rejected
    } cases[] = {
        {"record org.example.A wifi 1024", RecordLine{"org.example.A", NetworkKind::Wifi, 1024}},
        {"record org.example.A cellular 0", RecordLine{"org.example.A", NetworkKind::Cellular, 0}},
        {"  record\torg.example.A   unknown 7\r",
         RecordLine{"org.example.A", NetworkKind::Unknown, 7}},
        {"record org.example.A wifi 9223372036854775807",
         RecordLine{"org.example.A", NetworkKind::Wifi, 9223372036854775807ULL}},
        {"record Ünïcødé.app wifi 1", RecordLine{"Ünïcødé.app", NetworkKind::Wifi, 1}},
        {"", {}, "empty line"},
        {"recorder org.example.A wifi 1", {}, "unknown command \"recorder\""},
        {"record org.example.A wifi", {}, "not 3 words"},
        {"record org.example.A wifi 1 2", {}, "not 5 words"},
        {"record org.example.A lte 1", {}, "unknown network kind \"lte\""},
        {"record org.example.A WiFi 1", {}, "unknown network kind \"WiFi\""},
        {"record org.example.A wifi -1", {}, "\"-1\" is not a byte count"},
        {"record org.example.A wifi 1.5", {}, "\"1.5\" is not a byte count"},
        {"record org.example.A wifi 9223372036854775808", {}, "too large"},
        {"record org.exa\x01mple wifi 1", {}, "control character"},
        {"record org.\xff.app wifi 1", {}, "not valid UTF-8"},
        // Identifiers name files in applications/: nothing that leaves it or is hidden.
        {"record ../../../etc/passwd wifi 1", {}, "contains '/'"},
        {"record .. wifi 1", {}, "starts with '.'"},
        {"record .hidden wifi 1", {}, "starts with '.'"},
        {"record org.example..A wifi 1", RecordLine{"org.example..A", NetworkKind::Wifi, 1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        std::string error;
        auto parsed = parseRecordLine(c.line, &error);
        EXPECT_EQ(parsed, c.parsed);
        if (c.parsed)
            EXPECT_TRUE(error.empty()) << error;
        else
            EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
    std::string longName(256, 'a');
    std::string error;
    EXPECT_FALSE(parseRecordLine("record " + longName + " wifi 1", &error));
    EXPECT_NE(error.find("longer than 255"), std::string::npos) << error;
    EXPECT_TRUE(parseRecordLine("record " + longName.substr(1) + " wifi 1", &error));
}

class LineFeed : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(pipe(fds_), 0);
        SystemLog::setEchoToStandardError(false);
        SystemLog::takeCaptured();
    }
    void TearDown() override {
        closeInput();
        close(fds_[0]);
        SystemLog::setEchoToStandardError(true);
    }

    void send(const std::string& text) {
        ASSERT_EQ(write(fds_[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    void closeInput() {
        if (fds_[1] >= 0) close(fds_[1]);
        fds_[1] = -1;
    }
    int input() const { return fds_[0]; }

    ScratchHome home;
    UsageCollector collector{UsageDatabase::defaultPath()};

  private:
    int fds_[2] = {-1, -1};
};

TEST_F(LineFeed, RecordsEveryGoodLineAndLogsTheBadOnesByNumber) {
    RecordLineReader reader(collector, input(), "the test feed");
    ASSERT_TRUE(reader.start());
    // Lines arrive in pieces, as a pipe may hand them over.
    send("record org.example.A wi");
    send("fi 100\n# a comment\n\nrecord org.example.A wifi x\nrecord org.example.B cell");
    send("ular 5\r\n");
    send("record " + std::string(RecordLineReader::kMaxLineLength, 'a') + " wifi 1\n");
    send("record org.example.A unknown 2\nbogus line\nrecord org.example.A wifi 1");
    closeInput();
    reader.waitUntilEnd();

    EXPECT_EQ(reader.recordedLines(), 4u) << "the last line needs no newline";
    EXPECT_EQ(reader.rejectedLines(), 3u);
    EXPECT_EQ(collector.unsavedUsage(), (std::vector<UsageRow>{
                                            {"org.example.A", "2026-12-06", 101, 0, 2},
                                            {"org.example.B", "2026-12-06", 0, 5, 0},
                                        }));
    auto log = SystemLog::takeCaptured();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_NE(log[0].find("the test feed line 4: \"x\" is not a byte count"), std::string::npos)
        << log[0];
    EXPECT_NE(log[1].find("line 6: longer than"), std::string::npos) << log[1];
    EXPECT_NE(log[2].find("line 8: unknown command \"bogus\""), std::string::npos) << log[2];
}

TEST_F(LineFeed, StopEndsTheReaderWhileTheInputStaysOpen) {
    RecordLineReader reader(collector, input(), "the test feed");
    ASSERT_TRUE(reader.start());
    send("record org.example.A wifi 1\nrecord org.example.A wifi 2");  // no newline yet
    for (int i = 0; i < 500 && reader.recordedLines() == 0; ++i) usleep(2000);
    reader.stop();
    EXPECT_EQ(reader.recordedLines(), 1u) << "the line in progress is dropped";
    EXPECT_EQ(collector.unsavedUsage(),
              (std::vector<UsageRow>{{"org.example.A", "2026-12-06", 1, 0, 0}}));
}

TEST(SyntheticSource, RecordsOnTheMainRunLoopWhileRunning) {
    ScratchHome home;
    RunLoop::main().reset();
    UsageCollector collector(UsageDatabase::defaultPath());
    SyntheticTrafficSource source(collector, 1, 2.0);
    source.start();
    EXPECT_TRUE(collector.unsavedUsage().empty());
    RunLoop::main().advance(60);
    auto counted = collector.unsavedUsage();
    EXPECT_GE(counted.size(), 3u);
    auto photos = std::find_if(counted.begin(), counted.end(),
                               [](const UsageRow& row) { return row.app == "org.example.Photos"; });
    ASSERT_NE(photos, counted.end());
    EXPECT_EQ(photos->cellular, 0u) << "photo backup waits for Wi-Fi";
    EXPECT_GT(photos->wifi, 0u);

    source.stop();
    EXPECT_FALSE(source.isRunning());
    RunLoop::main().advance(60);
    EXPECT_EQ(collector.unsavedUsage(), counted);
    RunLoop::main().reset();
}

}  // namespace
