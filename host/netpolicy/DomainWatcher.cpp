#include "host/netpolicy/DomainWatcher.h"

#include <sys/stat.h>

#include "host/foundation/PreferenceStore.h"

DomainWatcher::DomainWatcher(std::string domain) : domain_(std::move(domain)) {
    identity_ = identity();
}

std::string DomainWatcher::identity() const {
    struct stat status {};
    if (::stat(PreferenceStore::pathForDomain(domain_).c_str(), &status) != 0) return "missing";
    return std::to_string(status.st_ino) + ":" + std::to_string(status.st_mtim.tv_sec) + "." +
           std::to_string(status.st_mtim.tv_nsec) + ":" + std::to_string(status.st_size);
}

bool DomainWatcher::changed() {
    std::string now = identity();
    if (now == identity_) return false;
    identity_ = std::move(now);
    return true;
}
