// Cgroup ids (the inode numbers of cgroup2 directories) to paths below the cgroup2 mount. Names
// come from the kernel's cgroup_mkdir events as cgroups appear, and from scans of the mount for
// ids not seen that way (cgroups that existed before the helper started).
#pragma once

#include <sys/types.h>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace bytarn::trafficd {

class CgroupDirectory {
  public:
    // Scans cover scanRoot (default: the whole mount), the cgroup the programs are attached to.
    explicit CgroupDirectory(std::filesystem::path mount, std::filesystem::path scanRoot = {});

    const std::filesystem::path& mount() const { return mount_; }
    // The counted hierarchy's top (scanRoot) relative to the mount, starting with '/'.
    const std::string& countedRoot() const { return countedRoot_; }

    // A new cgroup as the kernel reported it. The kernel names it from the top of the whole
    // hierarchy, which in a cgroup namespace (a container's helper) lies above this mount: that
    // part is found once, on the first cgroup still there to be matched by its id, and dropped
    // from every path after, so paths are always relative to the mount, starting with '/'.
    void learn(uint64_t id, std::string path);

    // The path of id; rescans the mount (at most once per minScanInterval calls of
    // startRound) when id is unknown.
    std::optional<std::string> pathOf(uint64_t id);

    // Whether the cgroup of id still exists (its directory is there with the same inode).
    bool exists(uint64_t id) const;

    // Forgets, about once a minute, cgroups that are gone, were learnt before the last round
    // and have no counters (ids in keep).
    void prune(const std::unordered_set<uint64_t>& keep);

    // Called once per reading: allows one more rescan for unknown ids in this round.
    void startRound() {
        scannedThisRound_ = false;
        ++round_;
    }

    size_t size() const { return paths_.size(); }

    // Every cgroup known now, by id and path (restrictions look for the ones they name).
    std::vector<std::pair<uint64_t, std::string>> known() const;
    // Grows whenever a cgroup is learnt or a scan ran: whoever keeps something per cgroup looks
    // again only when it moved.
    uint64_t version() const { return version_; }

    // The uids of the user-<UID>.slice directories in the counted root's user.slice now: the
    // users who have a view of the traffic whether or not a client of theirs is connected.
    std::set<uid_t> usersWithSlices() const;

  private:
    void scan();
    // How many leading characters of a kernel path lie above the mount, when path names the
    // cgroup id below the mount once they are dropped.
    std::optional<size_t> namespacePrefixOf(uint64_t id, const std::string& path) const;

    std::filesystem::path mount_;
    std::filesystem::path scanRoot_;
    std::string countedRoot_;
    struct Entry {
        std::string path;
        uint64_t round;  // when it was learnt
    };
    std::unordered_map<uint64_t, Entry> paths_;
    bool scannedThisRound_ = false;
    uint64_t round_ = 0;
    uint64_t version_ = 0;
    std::optional<std::string> namespacePrefix_;  // unknown until a cgroup matched
};

// The cgroup2 mount from a mounts table (/proc/self/mounts format): the first cgroup2 line.
std::optional<std::filesystem::path> findCgroup2Mount(
    const std::filesystem::path& mounts = "/proc/self/mounts");

}  // namespace bytarn::trafficd
