#include "trafficd/cgroups/CgroupDirectory.h"

#include "trafficd/cgroups/CgroupIdentity.h"

#include <malloc.h>
#include <sys/stat.h>
#include <fstream>
#include <sstream>
#include <vector>

namespace bytarn::trafficd {

namespace fs = std::filesystem;

CgroupDirectory::CgroupDirectory(fs::path mount, fs::path scanRoot)
    : mount_(std::move(mount)), scanRoot_(scanRoot.empty() ? mount_ : std::move(scanRoot)) {
    auto relative = scanRoot_.lexically_relative(mount_).string();
    countedRoot_ = relative == "." || relative.empty() ? "/" : "/" + relative;
    scan();
}

std::set<uid_t> CgroupDirectory::usersWithSlices() const {
    std::set<uid_t> uids;
    std::error_code error;
    for (fs::directory_iterator entry(scanRoot_ / "user.slice", error), end; !error && entry != end;
         entry.increment(error))
        if (auto uid = uidOfUserSlice(entry->path().filename().string());
            uid && entry->is_directory(error))
            uids.insert(*uid);
    return uids;
}

void CgroupDirectory::learn(uint64_t id, std::string path) {
    if (path.empty() || path.front() != '/') path.insert(path.begin(), '/');
    if (!namespacePrefix_) {
        if (auto length = namespacePrefixOf(id, path)) namespacePrefix_ = path.substr(0, *length);
    }
    // Until a cgroup has matched, a path is kept as the kernel gave it: outside a namespace that
    // is right, inside one its owner is the system's, which is never another user's.
    if (namespacePrefix_ && !namespacePrefix_->empty()) {
        if (!path.starts_with(*namespacePrefix_ + "/")) return;  // not below the namespace
        path.erase(0, namespacePrefix_->size());
    }
    paths_[id] = {std::move(path), round_};
    ++version_;
}

std::vector<std::pair<uint64_t, std::string>> CgroupDirectory::known() const {
    std::vector<std::pair<uint64_t, std::string>> all;
    all.reserve(paths_.size());
    for (const auto& [id, entry] : paths_) all.emplace_back(id, entry.path);
    return all;
}

std::optional<size_t> CgroupDirectory::namespacePrefixOf(uint64_t id,
                                                         const std::string& path) const {
    // Dropping ever more leading components; a cgroup has one path and its id is its inode, so
    // the match is the true one whatever names users gave their cgroups.
    struct stat status {};
    for (size_t at = 0; at != std::string::npos; at = path.find('/', at + 1)) {
        if (::stat((mount_.string() + path.substr(at)).c_str(), &status) == 0 &&
            status.st_ino == id)
            return at;
    }
    return std::nullopt;
}

void CgroupDirectory::prune(const std::unordered_set<uint64_t>& keep) {
    if (round_ % 60 != 0) return;
    size_t before = paths_.size();
    for (auto it = paths_.begin(); it != paths_.end();) {
        if (it->second.round < round_ && !keep.contains(it->first) && !exists(it->first))
            it = paths_.erase(it);
        else
            ++it;
    }
    if (paths_.size() < before) {
        // After a burst of short-lived scopes (thousands of builds, test runs), hand their names'
        // memory back: the helper runs for months, and malloc keeps freed small blocks for itself.
        paths_.rehash(0);
        malloc_trim(0);
    }
}

std::optional<std::string> CgroupDirectory::pathOf(uint64_t id) {
    auto found = paths_.find(id);
    if (found == paths_.end() && !scannedThisRound_) {
        scannedThisRound_ = true;
        scan();
        found = paths_.find(id);
    }
    if (found == paths_.end()) return std::nullopt;
    return found->second.path;
}

bool CgroupDirectory::exists(uint64_t id) const {
    auto found = paths_.find(id);
    if (found == paths_.end()) return false;
    struct stat status {};
    return ::stat((mount_.string() + found->second.path).c_str(), &status) == 0 &&
           status.st_ino == id;
}

void CgroupDirectory::scan() {
    // Cgroups may vanish while we walk: every error only skips the directory it concerns.
    ++version_;
    std::vector<fs::path> pending{scanRoot_};
    struct stat status {};
    while (!pending.empty()) {
        auto directory = std::move(pending.back());
        pending.pop_back();
        if (::stat(directory.c_str(), &status) != 0) continue;
        auto relative = directory.lexically_relative(mount_).string();
        paths_[status.st_ino] = {relative == "." ? "/" : "/" + relative, round_};
        std::error_code error;
        for (fs::directory_iterator it(directory, error), end; !error && it != end;
             it.increment(error)) {
            std::error_code entryError;
            if (it->is_directory(entryError) && !it->is_symlink(entryError))
                pending.push_back(it->path());
        }
    }
}

std::optional<fs::path> findCgroup2Mount(const fs::path& mounts) {
    std::ifstream in(mounts);
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string device, mountPoint, type;
        fields >> device >> mountPoint >> type;
        if (type == "cgroup2") return fs::path(mountPoint);
    }
    return std::nullopt;
}

}  // namespace bytarn::trafficd
