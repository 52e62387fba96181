// The helper's cgroup names over a directory tree of the test's own (any tree will do): names of
// cgroups that are gone are forgotten at a prune, but not those still there or still counted.
#include "trafficd/cgroups/CgroupDirectory.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <filesystem>

using namespace bytarn::trafficd;
namespace fs = std::filesystem;

TEST(TrafficdCgroupDirectory, PruneForgetsGoneUncountedCgroupsOnceAMinute) {
    struct Tree {
        fs::path root = fs::temp_directory_path() / ("cgroup-names-" + std::to_string(getpid()));
        ~Tree() { fs::remove_all(root); }
    } tree;
    for (const char* name : {"kept", "gone", "counted"}) fs::create_directories(tree.root / name);
    auto idOf = [&](const char* name) {
        struct stat status {};
        EXPECT_EQ(::stat((tree.root / name).c_str(), &status), 0);
        return uint64_t(status.st_ino);
    };
    uint64_t kept = idOf("kept"), counted = idOf("counted");
    CgroupDirectory directory(tree.root);
    directory.learn(kept + counted, "/vanished");  // a scope gone before the first reading
    size_t known = directory.size();
    ASSERT_EQ(known, 5u);  // the root, three cgroups and the vanished one
    fs::remove(tree.root / "gone");
    fs::remove(tree.root / "counted");

    for (int round = 1; round < 60; ++round) {
        directory.startRound();
        directory.prune({counted});
    }
    EXPECT_EQ(directory.size(), known) << "pruned before a minute of readings";
    directory.startRound();
    directory.prune({counted});
    EXPECT_EQ(directory.size(), known - 2);
    EXPECT_EQ(directory.pathOf(kept), "/kept");
    EXPECT_EQ(directory.pathOf(counted), "/counted");
}
