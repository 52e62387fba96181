#include "host/foundation/NSBundle.h"

#include <dlfcn.h>

#include <filesystem>

#include "host/foundation/PropertyList.h"
#include "host/foundation/SystemLog.h"

namespace fs = std::filesystem;

NSBundle::NSBundle(std::string path) : path_(std::move(path)) {
    std::string error;
    auto info = PropertyList::readFile(path_ + "/Info.plist", &error);
    if (info && info->dictionary())
        info_ = *info;
    else
        info_ = Value(Value::Dictionary{});
}

NSBundle::~NSBundle() {
    // The library stays loaded: the classes it registered may still have live objects.
}

std::shared_ptr<NSBundle> NSBundle::bundleWithPath(const std::string& path) {
    std::error_code ec;
    if (!fs::is_directory(path, ec)) return nullptr;
    return std::make_shared<NSBundle>(fs::absolute(path, ec).lexically_normal().string());
}

std::shared_ptr<NSBundle> NSBundle::bundleContainingAddress(const void* address) {
    Dl_info info{};
    if (!dladdr(address, &info) || !info.dli_fname || !*info.dli_fname) return nullptr;
    std::error_code ec;
    fs::path library = fs::canonical(info.dli_fname, ec);
    if (ec) return nullptr;
    return bundleWithPath(library.parent_path().string());
}

std::optional<std::string> NSBundle::objectForInfoDictionaryKey(const std::string& key) const {
    const Value* v = info_.find(key);
    return v ? v->stringValue() : std::nullopt;
}

std::optional<std::string> NSBundle::pathForResource(const std::string& name,
                                                     const std::string& type) const {
    // Resource names are plain file names: nothing may reach outside the bundle.
    if (name.empty() || name.find('/') != std::string::npos || name.front() == '.')
        return std::nullopt;
    std::string file = path_ + "/" + name + (type.empty() ? "" : "." + type);
    std::error_code ec;
    if (!fs::is_regular_file(file, ec)) return std::nullopt;
    return file;
}

bool NSBundle::load(std::string* error) {
    if (handle_) return true;
    auto executable = objectForInfoDictionaryKey("CFBundleExecutable");
    if (!executable || executable->empty() || executable->find('/') != std::string::npos) {
        if (error) *error = "bundle " + path_ + " names no executable";
        return false;
    }
    std::string file = path_ + "/" + *executable;
    handle_ = dlopen(file.c_str(), RTLD_NOW | RTLD_GLOBAL);
    if (!handle_) {
        if (error) *error = std::string("cannot load ") + file + ": " + dlerror();
        return false;
    }
    return true;
}
