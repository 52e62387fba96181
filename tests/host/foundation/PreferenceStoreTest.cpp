#include "host/foundation/PreferenceStore.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "host/foundation/PropertyList.h"
#include "host/foundation/SystemLog.h"
#include "support/TestEnvironment.h"

namespace fs = std::filesystem;

namespace {

class PreferenceStoreTest : public ::testing::Test {
  protected:
    PreferenceStoreTest() {
        SystemLog::setEchoToStandardError(false);
        SystemLog::takeCaptured();
    }
    ~PreferenceStoreTest() override { SystemLog::setEchoToStandardError(true); }

    // How many captured lines contain a fragment.
    static std::size_t logged(const std::string& fragment) {
        auto lines = SystemLog::takeCaptured();
        return std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
            return line.find(fragment) != std::string::npos;
        });
    }

    ScratchHome home;
    const std::string path = home.path() + "/.config/bytarn/org.bytarn.plist";
};

TEST_F(PreferenceStoreTest, StoresReadsAndRemovesKeys) {
    EXPECT_EQ(PreferenceStore::pathForDomain("org.bytarn"), path);
    EXPECT_TRUE(PreferenceStore::setValueForKey("org.bytarn", "missing", Value()));
    EXPECT_FALSE(fs::exists(path)) << "removing an absent key must not create the file";

    ASSERT_TRUE(PreferenceStore::setValueForKey("org.bytarn", "ShowCellular", true));
    ASSERT_TRUE(PreferenceStore::setValueForKey("org.bytarn", "Period", "month"));
    EXPECT_EQ(PreferenceStore::valueForKey("org.bytarn", "ShowCellular"), Value(true));
    EXPECT_EQ(PropertyList::readFile(path),
              Value(Value::Dictionary{{"Period", "month"}, {"ShowCellular", true}}));

    ASSERT_TRUE(PreferenceStore::setValueForKey("org.bytarn", "ShowCellular", Value()));
    EXPECT_EQ(Value(PreferenceStore::allValues("org.bytarn")),
              Value(Value::Dictionary{{"Period", "month"}}));
    EXPECT_TRUE(PreferenceStore::valueForKey("org.bytarn", "ShowCellular").isNull());

    // Another process's write is seen at the next read.
    ASSERT_TRUE(PropertyList::writeFileAtomically(path, Value::Dictionary{{"Period", "week"}}));
    EXPECT_EQ(PreferenceStore::valueForKey("org.bytarn", "Period"), Value("week"));
    EXPECT_EQ(logged(""), 0u);
}

TEST_F(PreferenceStoreTest, RefusesUnusableDomains) {
    for (const std::string& domain : {std::string(), std::string("a/b"), std::string("../escape"),
                                      std::string(".hidden"), std::string("nul\0x", 5)}) {
        EXPECT_EQ(PreferenceStore::pathForDomain(domain), "");
        EXPECT_FALSE(PreferenceStore::setValueForKey(domain, "key", 1));
        EXPECT_TRUE(PreferenceStore::valueForKey(domain, "key").isNull());
        EXPECT_TRUE(PreferenceStore::allValues(domain).empty());
        EXPECT_EQ(logged("Preferences: ignoring domain"), 3u) << domain;
    }
    EXPECT_FALSE(fs::exists(home.path() + "/.config/bytarn"));
}

TEST_F(PreferenceStoreTest, UnreadableFileReadsAsEmptyAndIsKeptWhenReplaced) {
    const std::string garbage = "<plist><dict><key>Period</key>";
    for (const std::string& contents : {garbage, PropertyList::toXml(Value::Array{1, 2})}) {
        home.write(".config/bytarn/org.bytarn.plist", contents);
        EXPECT_TRUE(PreferenceStore::valueForKey("org.bytarn", "Period").isNull());
        EXPECT_TRUE(PreferenceStore::allValues("org.bytarn").empty());
        EXPECT_EQ(logged("ignoring unreadable file " + path), 1u)
            << "one line per broken file, however often it is read";

        ASSERT_TRUE(PreferenceStore::setValueForKey("org.bytarn", "Period", "day"));
        EXPECT_EQ(Value(PreferenceStore::allValues("org.bytarn")),
                  Value(Value::Dictionary{{"Period", "day"}}));
        EXPECT_EQ(logged("replaced unreadable file " + path), 1u);
    }
    // Both broken versions survive, the second beside the first.
    EXPECT_EQ(readFile(path + ".corrupt"), garbage);
    EXPECT_EQ(PropertyList::readFile(path + ".corrupt.1"), Value(Value::Array{1, 2}));
}

TEST_F(PreferenceStoreTest, FileThatCannotBeReadOrWrittenIsLeftAlone) {
    ASSERT_TRUE(PreferenceStore::setValueForKey("org.bytarn", "Period", "week"));
    const std::string before = readFile(path);
    const std::string directory = home.path() + "/.config/bytarn";
    fs::permissions(path, fs::perms::none);
    if (std::ifstream(path).is_open()) {
        fs::permissions(path, fs::perms(0644));
        GTEST_SKIP() << "running with privileges that ignore permissions";
    }
    EXPECT_FALSE(PreferenceStore::setValueForKey("org.bytarn", "Period", "day"));
    EXPECT_EQ(logged("cannot be read"), 1u);
    fs::permissions(path, fs::perms(0644));

    fs::permissions(directory, fs::perms(0555));
    EXPECT_FALSE(PreferenceStore::setValueForKey("org.bytarn", "Period", "day"));
    EXPECT_EQ(logged("Preferences: cannot store \"Period\" in " + path), 1u);
    fs::permissions(directory, fs::perms(0755));
    EXPECT_EQ(readFile(path), before);
    EXPECT_EQ(std::distance(fs::directory_iterator(directory), {}), 1);
}

}  // namespace
