#pragma once

#include <memory>
#include <optional>
#include <string>

#include "host/foundation/Value.h"

// A bundle directory: Info.plist, resources, and optionally a loadable library.
class NSBundle {
  public:
    // Nothing when the path is not a directory.
    static std::shared_ptr<NSBundle> bundleWithPath(const std::string& path);
    // The bundle whose loaded library holds that code or data address (pass the address of a
    // function of the bundle's own): the directory of that library. Nothing when the address
    // lies in no loaded library.
    static std::shared_ptr<NSBundle> bundleContainingAddress(const void* address);

    const std::string& bundlePath() const { return path_; }
    // Info.plist as a dictionary (empty when missing or unreadable).
    const Value& infoDictionary() const { return info_; }
    std::optional<std::string> objectForInfoDictionaryKey(const std::string& key) const;

    // <bundle>/<name>.<type> when that file exists.
    std::optional<std::string> pathForResource(const std::string& name,
                                               const std::string& type) const;

    // Loads the library named by "CFBundleExecutable"; the classes it registers are then
    // known to the class registry. Loading twice is harmless.
    bool load(std::string* error = nullptr);
    bool isLoaded() const { return handle_ != nullptr; }

    ~NSBundle();

    explicit NSBundle(std::string path);

  private:
    std::string path_;
    Value info_;
    void* handle_ = nullptr;
};
