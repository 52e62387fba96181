#include "host/foundation/PreferenceStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>

#include "host/foundation/Paths.h"
#include "host/foundation/PropertyList.h"
#include "host/foundation/SystemLog.h"

namespace fs = std::filesystem;

namespace PreferenceStore {

namespace {

// Serialises read-modify-write cycles within the process, so that two threads storing different
// keys of one domain do not lose each other's key.
std::mutex writeMutex;

// Problems already reported. A settings page reads its preferences at every refresh, and one
// broken file should not fill the log: each distinct state of a file is reported once.
std::mutex reportedMutex;
std::set<std::string> reportedProblems;

bool isUsableDomain(const std::string& domain) {
    return !domain.empty() && domain.front() != '.' && domain.find('/') == std::string::npos &&
           domain.find('\0') == std::string::npos;
}

bool checkDomain(const std::string& domain) {
    if (isUsableDomain(domain)) return true;
    SystemLog::writef(
        "Preferences: ignoring domain \"%s\": a domain must be a non-empty file name without "
        "\"/\" that does not start with \".\"",
        domain.c_str());
    return false;
}

enum class FileState {
    Missing,       // nothing stored yet
    Readable,      // a dictionary was read
    Corrupt,       // the file is there and readable, but holds no dictionary
    Inaccessible,  // the file cannot be read at all (permissions, a directory in its place)
};

struct LoadedDomain {
    FileState state = FileState::Missing;
    Value::Dictionary values;
    std::string reason;
    std::string
        fileIdentity;  // path, modification time and size: what repeated reports are keyed on
};

LoadedDomain load(const std::string& path) {
    LoadedDomain loaded;
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0 && (errno == ENOENT || errno == ENOTDIR)) return loaded;
    loaded.fileIdentity = path + "|" + std::to_string(status.st_mtim.tv_sec) + "." +
                          std::to_string(status.st_mtim.tv_nsec) + "|" +
                          std::to_string(status.st_size);

    std::optional<Value> value = PropertyList::readFile(path, &loaded.reason);
    if (value && value->dictionary()) {
        loaded.state = FileState::Readable;
        loaded.values = *value->dictionary();
    } else if (value) {
        loaded.state = FileState::Corrupt;
        loaded.reason = "its top level is not a dictionary";
    } else {
        // A regular file that opens is damaged in its contents; anything else is in the way in a
        // manner that replacing it would not fix, or would fix by destroying something.
        bool openable = S_ISREG(status.st_mode) && ::access(path.c_str(), R_OK) == 0;
        loaded.state = openable ? FileState::Corrupt : FileState::Inaccessible;
    }
    return loaded;
}

void reportUnreadable(const std::string& path, const LoadedDomain& loaded) {
    if (loaded.state != FileState::Corrupt && loaded.state != FileState::Inaccessible) return;
    {
        std::lock_guard lock(reportedMutex);
        if (!reportedProblems.insert(loaded.fileIdentity + "|" + loaded.reason).second) return;
    }
    SystemLog::writef("Preferences: ignoring unreadable file %s: %s", path.c_str(),
                      loaded.reason.c_str());
}

// Gives the unreadable file a second name, <file>.corrupt (or .corrupt.N when that is taken), so
// that replacing it loses nothing. A hard link costs no copying and is already on disk; a copy,
// flushed, serves where links are not possible.
std::optional<std::string> keepUnreadableFile(const std::string& path, std::string* reason) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = path + ".corrupt";
        if (attempt > 0) name += "." + std::to_string(attempt);
        // Following a symbolic link keeps the contents, not a link to what is about to change.
        if (::linkat(AT_FDCWD, path.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0)
            return name;
        int number = errno;
        if (number == EEXIST) continue;
        if (number != EPERM && number != EXDEV && number != EMLINK && number != EOPNOTSUPP) {
            *reason = std::strerror(number);
            return std::nullopt;
        }
        std::error_code copying;
        fs::copy_file(path, name, fs::copy_options::none, copying);
        if (copying == std::errc::file_exists) continue;
        if (copying) {
            *reason = copying.message();
            std::error_code ignored;
            fs::remove(name, ignored);
            return std::nullopt;
        }
        int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
        bool flushed = fd >= 0 && ::fsync(fd) == 0;
        if (fd >= 0) ::close(fd);
        if (!flushed) {
            *reason = "the copy could not be flushed to disk";
            ::unlink(name.c_str());
            return std::nullopt;
        }
        return name;
    }
    *reason = "too many earlier copies are in the way";
    return std::nullopt;
}

}  // namespace

std::string pathForDomain(const std::string& domain) {
    if (!isUsableDomain(domain)) return {};
    return Paths::configHome() + "/bytarn/" + domain + ".plist";
}

Value valueForKey(const std::string& domain, const std::string& key) {
    if (!checkDomain(domain)) return {};
    std::string path = pathForDomain(domain);
    LoadedDomain loaded = load(path);
    reportUnreadable(path, loaded);
    auto found = loaded.values.find(key);
    return found == loaded.values.end() ? Value() : found->second;
}

bool setValueForKey(const std::string& domain, const std::string& key, const Value& value) {
    if (!checkDomain(domain)) return false;
    std::string path = pathForDomain(domain);
    std::lock_guard lock(writeMutex);
    LoadedDomain loaded = load(path);

    if (loaded.state == FileState::Inaccessible) {
        SystemLog::writef(
            "Preferences: cannot store \"%s\": %s cannot be read (%s) and is left "
            "as it is",
            key.c_str(), path.c_str(), loaded.reason.c_str());
        return false;
    }
    if (value.isNull()) {
        // Removing what is not there changes nothing, and must not create or rewrite a file.
        if (loaded.values.erase(key) == 0) return true;
    } else {
        loaded.values.insert_or_assign(key, value);
    }

    std::optional<std::string> keptAs;
    if (loaded.state == FileState::Corrupt) {
        std::string why;
        keptAs = keepUnreadableFile(path, &why);
        if (!keptAs) {
            SystemLog::writef(
                "Preferences: cannot store \"%s\": the unreadable file %s could not "
                "be set aside (%s) and is left as it is",
                key.c_str(), path.c_str(), why.c_str());
            return false;
        }
    }

    std::string error;
    if (!PropertyList::writeFileAtomically(path, Value(std::move(loaded.values)), &error)) {
        // The file is as it was, so its second name would only be clutter.
        if (keptAs) ::unlink(keptAs->c_str());
        SystemLog::writef("Preferences: cannot store \"%s\" in %s: %s", key.c_str(), path.c_str(),
                          error.c_str());
        return false;
    }
    if (keptAs) {
        SystemLog::writef(
            "Preferences: replaced unreadable file %s (%s); its old contents are kept in %s",
            path.c_str(), loaded.reason.c_str(), keptAs->c_str());
    }
    return true;
}

Value::Dictionary allValues(const std::string& domain) {
    if (!checkDomain(domain)) return {};
    std::string path = pathForDomain(domain);
    LoadedDomain loaded = load(path);
    reportUnreadable(path, loaded);
    return std::move(loaded.values);
}

}  // namespace PreferenceStore
