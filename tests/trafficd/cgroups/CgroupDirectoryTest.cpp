// The helper's cgroup names over a directory tree of the test's own (any tree will do): names of
// cgroups that are gone are forgotten at a prune, but not those still there or still counted.
#include "trafficd/cgroups/CgroupDirectory.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <filesystem>
#include <fstream>

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

// A helper in a container sees its cgroup namespace's root as the mount's top, while the kernel
// names new cgroups from the top of the whole hierarchy: the part above is found on the first
// cgroup that is still there and dropped from every path, so owners come out as on a host.
TEST(TrafficdCgroupDirectory, KernelPathsFromAboveACgroupNamespaceAreMadeRelativeToTheMount) {
    struct Tree {
        fs::path root = fs::temp_directory_path() / ("cgroup-ns-" + std::to_string(getpid()));
        ~Tree() { fs::remove_all(root); }
    } tree;
    const std::string scope = "/user.slice/user-1000.slice/app-org.example.Mail-1.scope";
    fs::create_directories(tree.root.string() + scope);
    struct stat status {};
    ASSERT_EQ(::stat((tree.root.string() + scope).c_str(), &status), 0);
    CgroupDirectory directory(tree.root);
    const std::string above = "/machine.slice/container.scope/payload";

    directory.learn(1, above + "/user.slice/user-1001.slice/gone-before-any-match.scope");
    EXPECT_EQ(directory.pathOf(1),
              above + "/user.slice/user-1001.slice/gone-before-any-match.scope")
        << "kept as given until a cgroup matched: the system's, never another user's";
    directory.learn(status.st_ino, above + scope);
    EXPECT_EQ(directory.pathOf(status.st_ino), scope);
    directory.learn(2, above + "/user.slice/user-1001.slice/short-lived.scope");
    EXPECT_EQ(directory.pathOf(2), "/user.slice/user-1001.slice/short-lived.scope");
    directory.learn(3, "/elsewhere/x.scope");  // not below the namespace: not ours to name
    EXPECT_EQ(directory.pathOf(3), std::nullopt);
}

// Users with a slice get a view of the traffic even while they have none of their own: only the
// user-<UID>.slice directories of the counted root's user.slice, spelt as systemd spells them.
TEST(TrafficdCgroupDirectory, UsersWithSlicesAreThoseOfTheCountedRootsUserSlice) {
    struct Tree {
        fs::path root = fs::temp_directory_path() / ("cgroup-users-" + std::to_string(getpid()));
        ~Tree() { fs::remove_all(root); }
    } tree;
    for (const char* path :
         {"test/user.slice/user-1000.slice", "test/user.slice/user-0.slice",
          "test/user.slice/user-01.slice", "test/user.slice/user-x.slice",
          "test/user.slice/user-1000.slice/user@1000.service/user.slice/user-1001.slice",
          "test/system.slice/user-1002.slice", "user.slice/user-1003.slice"})
        fs::create_directories(tree.root / path);
    std::ofstream(tree.root / "test/user.slice/user-1004.slice") << "a file, not a slice";
    EXPECT_EQ(CgroupDirectory(tree.root, tree.root / "test").usersWithSlices(),
              (std::set<uid_t>{0, 1000}));
    EXPECT_EQ(CgroupDirectory(tree.root).usersWithSlices(), (std::set<uid_t>{1003}));
    EXPECT_TRUE(
        CgroupDirectory(tree.root, tree.root / "test/system.slice").usersWithSlices().empty());
}
