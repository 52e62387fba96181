#include "settings/core/SettingsBundle.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <ostream>

#include "host/foundation/NSBundle.h"
#include "host/preferences/ClassRegistry.h"
#include "host/ui/UIImage.h"

namespace fs = std::filesystem;

std::vector<BundlesDirectoryCandidate> bundlesDirectoryCandidates(
    const std::optional<std::string>& option, const char* environmentValue,
    const std::string& executableDirectory) {
    std::vector<BundlesDirectoryCandidate> candidates;
    if (option) candidates.push_back({*option, "--bundles", true});
    if (environmentValue && *environmentValue)
        candidates.push_back({environmentValue, "BYTARN_BUNDLES_DIR", true});
    if (!executableDirectory.empty()) {
        fs::path parent = fs::path(executableDirectory) / "..";
        candidates.push_back({(parent / "bundles").lexically_normal().string(), "build tree"});
        // The installed layout follows the library directory this build was configured with;
        // the plain lib/ layout is tried too, for installs under another prefix convention.
        fs::path installed = parent / BYTARN_INSTALL_BUNDLES_DIR;
        candidates.push_back({installed.lexically_normal().string(), "installation"});
        fs::path plain = parent / "lib/bytarn/bundles";
        if (plain.lexically_normal() != installed.lexically_normal())
            candidates.push_back({plain.lexically_normal().string(), "installation"});
    }
    candidates.push_back({BYTARN_BUILD_BUNDLES_DIR, "build directory"});
    return candidates;
}

std::optional<std::string> chooseBundlesDirectory(
    const std::vector<BundlesDirectoryCandidate>& candidates, std::string* error) {
    std::string tried;
    for (const auto& candidate : candidates) {
        std::error_code ec;
        if (fs::is_directory(candidate.path, ec)) return candidate.path;
        if (candidate.required) {
            if (error)
                *error = "bundles directory " + candidate.path + " (from " + candidate.origin +
                         ") is not a directory";
            return std::nullopt;
        }
        tried += (tried.empty() ? "" : ", ") + candidate.path;
    }
    if (error)
        *error = "no bundles directory found (tried " + (tried.empty() ? "nothing" : tried) +
                 "); name one with --bundles";
    return std::nullopt;
}

std::string executableDirectory() {
    std::error_code ec;
    fs::path self = fs::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : self.parent_path().string();
}

namespace {

// Why a bundle cannot be listed, or nothing when it can; fills `entry` as it goes.
std::optional<std::string> prepareBundle(const fs::path& path, SettingsBundle& entry) {
    entry.bundle = NSBundle::bundleWithPath(path.string());
    if (!entry.bundle) return "not a readable directory";
    const NSBundle& bundle = *entry.bundle;
    if (!bundle.infoDictionary().find("CFBundleExecutable"))
        return "Info.plist is missing, unreadable or names no CFBundleExecutable";
    entry.principalClass = bundle.objectForInfoDictionaryKey("NSPrincipalClass").value_or("");
    if (entry.principalClass.empty()) return "Info.plist names no NSPrincipalClass";

    std::string error;
    if (!entry.bundle->load(&error)) return error;
    if (!ClassRegistry::shared().hasPage(entry.principalClass))
        return "its library defines no page class " + entry.principalClass;

    entry.label =
        bundle.objectForInfoDictionaryKey("CFBundleDisplayName")
            .value_or(
                bundle.objectForInfoDictionaryKey("CFBundleName").value_or(path.stem().string()));
    entry.identifier = bundle.objectForInfoDictionaryKey("CFBundleIdentifier").value_or("");
    return std::nullopt;
}

// The bundle's icon; an icon that is named but missing costs the entry only its picture.
void loadIcon(SettingsBundle& entry, std::ostream& problems) {
    auto name = entry.bundle->objectForInfoDictionaryKey("CFBundleIconFile");
    if (!name || name->empty()) return;
    std::string resource = *name;
    if (resource.size() > 4 && resource.ends_with(".png")) resource.resize(resource.size() - 4);
    auto file = entry.bundle->pathForResource(resource, "png");
    if (file) entry.icon = UIImage::imageWithContentsOfFile(*file);
    if (!entry.icon)
        problems << "bytarn: bundle " << entry.bundle->bundlePath() << ": no readable icon "
                 << resource << ".png\n";
}

}  // namespace

std::vector<SettingsBundle> loadBundles(const std::string& directory, std::ostream& problems) {
    std::vector<fs::path> paths;
    std::error_code ec;
    for (fs::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code kindError;
        if (it->path().extension() == ".bundle" && it->is_directory(kindError))
            paths.push_back(it->path());
    }
    if (ec)
        problems << "bytarn: cannot read bundles directory " << directory << ": " << ec.message()
                 << "\n";
    std::sort(paths.begin(), paths.end());

    std::vector<SettingsBundle> bundles;
    for (const auto& path : paths) {
        SettingsBundle entry;
        if (auto why = prepareBundle(path, entry)) {
            problems << "bytarn: skipping bundle " << path.string() << ": " << *why << "\n";
            continue;
        }
        loadIcon(entry, problems);
        bundles.push_back(std::move(entry));
    }
    return bundles;
}
