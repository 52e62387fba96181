// The preference file when its writer dies or its write fails: afterwards the file is the old
// one or the new one, whole, and a write that did not happen is reported as such.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>

#include "host/foundation/PreferenceStore.h"
#include "host/foundation/PropertyList.h"
#include "host/foundation/SystemLog.h"
#include "support/QuietMainLoopTest.h"
#include "support/TestEnvironment.h"

namespace {

namespace fs = std::filesystem;

const char* const kDomain = "org.bytarn";

// The value of one write: its round and number up front, then a filler whose length and text
// follow from them, so that any value read back can be checked to be exactly one that was
// written. Between about 100 KB and 500 KB, so that a write takes a while.
std::string version(int round, int number) {
    std::string text = "round " + std::to_string(round) + " write " + std::to_string(number) + ":";
    std::size_t length =
        100'000 + static_cast<std::size_t>((round * 7919 + number * 104729) % 400'000);
    text.reserve(length);
    for (std::size_t i = 0; text.size() < length; ++i)
        text.push_back(static_cast<char>('a' + (i * 31 + number + round) % 26));
    return text;
}

// The round and number of a value, when it is exactly what version() gives for them.
std::optional<std::pair<int, int>> whichVersion(const std::string& value) {
    int round = -1, number = -1;
    if (std::sscanf(value.c_str(), "round %d write %d:", &round, &number) != 2) return std::nullopt;
    if (value != version(round, number)) return std::nullopt;
    return std::pair{round, number};
}

std::size_t temporaryFiles(const std::string& directory) {
    std::size_t count = 0;
    for (const auto& entry : fs::directory_iterator(directory))
        if (entry.path().filename().string().rfind(".org.bytarn.plist.", 0) == 0) ++count;
    return count;
}

class PreferenceFaults : public QuietMainLoopTest {
  protected:
    std::size_t logged(const std::string& text) {
        std::size_t count = 0;
        for (const auto& line : SystemLog::takeCaptured())
            if (line.find(text) != std::string::npos) ++count;
        return count;
    }

    ScratchHome home;
    const std::string path = PreferenceStore::pathForDomain(kDomain);
};

TEST_F(PreferenceFaults, WriterKilledAtAnyMomentLeavesTheOldFileOrTheNewOne) {
    ASSERT_TRUE(PreferenceStore::setValueForKey(kDomain, "comparator", "compareUsage"));
    ASSERT_TRUE(PreferenceStore::setValueForKey(kDomain, "blob", version(0, 0)));
    std::pair<int, int> last{0, 0};
    constexpr int kRounds = 120;
    int unchanged = 0, replaced = 0;
    for (int round = 1; round <= kRounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            // The writer: one large value after another, until it is killed.
            for (int number = 0;; ++number)
                if (!PreferenceStore::setValueForKey(kDomain, "blob", version(round, number)))
                    _exit(1);
        }
        // Kill moments from at once to well into the writes, in steps that fall at different
        // points of the write cycle.
        std::this_thread::sleep_for(std::chrono::microseconds((round * 3307) % 40'000));
        kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the writer failed a write on its own";

        std::string error;
        auto file = PropertyList::readFile(path, &error);
        ASSERT_TRUE(file) << "the file parses: " << error;
        ASSERT_TRUE(file->dictionary());
        const auto& values = *file->dictionary();
        ASSERT_EQ(values.size(), 2u);
        EXPECT_EQ(values.at("comparator"), Value("compareUsage")) << "other keys survive";
        const std::string* blob = values.at("blob").string();
        ASSERT_TRUE(blob);
        auto which = whichVersion(*blob);
        ASSERT_TRUE(which) << "the value is one that was written, whole";
        if (*which == last) {
            ++unchanged;
        } else {
            EXPECT_EQ(which->first, round) << "a newer value comes from this round's writer";
            ++replaced;
        }
        last = *which;
    }
    EXPECT_EQ(unchanged + replaced, kRounds);
    EXPECT_GT(replaced, 0) << "some writers got their writes done";
    std::size_t leftovers = temporaryFiles(fs::path(path).parent_path().string());
    std::printf(
        "[ figures  ] preference writer killed %d times: %d left the old file, %d a "
        "newer one, 0 partial; %zu temporary files left by killed writers\n",
        kRounds, unchanged, replaced, leftovers);
}

// Sets the largest file this process may write for a scope; writes beyond it fail with EFBIG
// (SIGXFSZ ignored), as they would on a full disk, whoever runs the test.
class FileSizeLimit {
  public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &old_);
        previousHandler_ = signal(SIGXFSZ, SIG_IGN);
        rlimit limit = old_;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &old_);
        signal(SIGXFSZ, previousHandler_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

  private:
    rlimit old_{};
    sighandler_t previousHandler_;
};

TEST_F(PreferenceFaults, FailingWriteKeepsTheOldFileAndIsReported) {
    ASSERT_TRUE(PreferenceStore::setValueForKey(kDomain, "period", "Today"));
    ASSERT_TRUE(PreferenceStore::setValueForKey(kDomain, "blob", version(1, 1)));
    const std::string before = readFile(path);
    const std::string directory = fs::path(path).parent_path().string();
    const std::size_t newSize = PropertyList::toXml(Value(Value::Dictionary{
                                                        {"period", "Today"},
                                                        {"blob", version(2, 2)},
                                                    }))
                                    .size();

    // The space left runs out at various points of the new file: before its first byte, in
    // its first block, half-way and one byte short.
    const rlim_t limits[] = {0, 1, 4096, static_cast<rlim_t>(newSize / 2),
                             static_cast<rlim_t>(newSize - 1)};
    for (rlim_t limit : limits) {
        SCOPED_TRACE("room for " + std::to_string(limit) + " of " + std::to_string(newSize) +
                     " bytes");
        bool stored;
        {
            FileSizeLimit full(limit);
            stored = PreferenceStore::setValueForKey(kDomain, "blob", version(2, 2));
        }
        EXPECT_FALSE(stored) << "a write that did not happen is not reported as done";
        EXPECT_EQ(logged("Preferences: cannot store \"blob\" in " + path), 1u);
        EXPECT_EQ(readFile(path), before) << "the old file stays, byte for byte";
        EXPECT_EQ(temporaryFiles(directory), 0u) << "the unfinished file is removed";
        EXPECT_EQ(PreferenceStore::valueForKey(kDomain, "blob"), Value(version(1, 1)));
    }

    // With room again the same write goes through.
    ASSERT_TRUE(PreferenceStore::setValueForKey(kDomain, "blob", version(2, 2)));
    EXPECT_EQ(PreferenceStore::valueForKey(kDomain, "blob"), Value(version(2, 2)));
    EXPECT_EQ(PreferenceStore::valueForKey(kDomain, "period"), Value("Today"));
}

TEST_F(PreferenceFaults, UnwritableDirectoryKeepsTheOldFileAndIsReported) {
    ASSERT_TRUE(PreferenceStore::setValueForKey(kDomain, "blob", version(1, 1)));
    const std::string before = readFile(path);
    const std::string directory = fs::path(path).parent_path().string();
    ::chmod(directory.c_str(), 0555);
    std::string probe = directory + "/.probe";
    if (std::ofstream(probe).is_open()) {
        fs::remove(probe);
        ::chmod(directory.c_str(), 0755);
        GTEST_SKIP() << "this user's privileges ignore directory permissions; the failing write "
                        "is covered by FailingWriteKeepsTheOldFileAndIsReported";
    }
    bool stored = PreferenceStore::setValueForKey(kDomain, "blob", version(2, 2));
    ::chmod(directory.c_str(), 0755);
    EXPECT_FALSE(stored);
    EXPECT_EQ(logged("Preferences: cannot store \"blob\" in " + path), 1u);
    EXPECT_EQ(readFile(path), before);
    EXPECT_EQ(temporaryFiles(directory), 0u);
}

}  // namespace
