#include "host/foundation/Paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace Paths {

namespace {

// A directory without its trailing slashes ("/" stays "/"), so that joining never doubles them.
std::string withoutTrailingSlashes(std::string directory) {
    while (directory.size() > 1 && directory.back() == '/') directory.pop_back();
    return directory;
}

std::string join(const std::string& directory, const std::string& relative) {
    std::string base = withoutTrailingSlashes(directory);
    if (base == "/") return "/" + relative;
    return base + "/" + relative;
}

std::string passwdHomeDirectory() {
    long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    while (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == ERANGE &&
           buffer.size() < (1u << 20)) {
        buffer.resize(buffer.size() * 2);
    }
    if (found && found->pw_dir && found->pw_dir[0] != '\0') return found->pw_dir;
    return {};
}

// The variable's value when it is set to an absolute path; the XDG rules ignore anything else.
const char* absoluteVariable(const char* name) {
    const char* value = std::getenv(name);
    return (value && value[0] == '/') ? value : nullptr;
}

}  // namespace

std::string homeDirectory() {
    const char* home = std::getenv("HOME");
    if (home && home[0] != '\0') return withoutTrailingSlashes(home);
    std::string fromPasswd = passwdHomeDirectory();
    // A process with neither HOME nor a passwd entry (an arbitrary container uid) still needs
    // somewhere to resolve "~" against; the root directory is the only one that surely exists.
    return fromPasswd.empty() ? std::string("/") : withoutTrailingSlashes(fromPasswd);
}

std::string expandTilde(const std::string& path) {
    if (path == "~") return homeDirectory();
    if (path.rfind("~/", 0) == 0) return join(homeDirectory(), path.substr(2));
    return path;
}

std::string configHome() {
    if (const char* value = absoluteVariable("XDG_CONFIG_HOME"))
        return withoutTrailingSlashes(value);
    return join(homeDirectory(), ".config");
}

std::string dataHome() {
    if (const char* value = absoluteVariable("XDG_DATA_HOME")) return withoutTrailingSlashes(value);
    return join(homeDirectory(), ".local/share");
}

std::vector<std::string> dataDirs() {
    std::vector<std::string> directories;
    if (const char* value = std::getenv("XDG_DATA_DIRS")) {
        std::string list = value;
        std::size_t start = 0;
        while (start <= list.size()) {
            std::size_t end = list.find(':', start);
            if (end == std::string::npos) end = list.size();
            std::string entry = list.substr(start, end - start);
            if (!entry.empty() && entry[0] == '/')
                directories.push_back(withoutTrailingSlashes(entry));
            start = end + 1;
        }
    }
    // A list left empty (unset, blank, or nothing but relative entries) would hide every shared
    // resource, so it means the defaults just as an unset variable does.
    if (directories.empty()) directories = {"/usr/local/share", "/usr/share"};
    return directories;
}

}  // namespace Paths
