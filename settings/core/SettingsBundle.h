#pragma once

#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class NSBundle;
class UIImage;

// A loaded bundle as the Settings root page lists it.
struct SettingsBundle {
    std::shared_ptr<NSBundle> bundle;
    std::string label;              // CFBundleDisplayName
    std::string principalClass;     // NSPrincipalClass: the page its entry opens
    std::string identifier;         // CFBundleIdentifier: its preference domain
    std::shared_ptr<UIImage> icon;  // CFBundleIconFile, when the bundle has that PNG
};

// One place the bundles directory may be, in search order.
struct BundlesDirectoryCandidate {
    std::string path;
    std::string origin;  // where the candidate came from, for messages
    // A directory the user named must exist; the built-in places are only tried.
    bool required = false;
};

// The places searched for the bundles directory, in order: the --bundles option, the
// BYTARN_BUNDLES_DIR environment variable, next to the executable in a build tree
// (<dir>/../bundles), next to it in an installation, then the build tree this program came from.
std::vector<BundlesDirectoryCandidate> bundlesDirectoryCandidates(
    const std::optional<std::string>& option, const char* environmentValue,
    const std::string& executableDirectory);

// The first usable candidate. A missing directory that the user named is an error rather than
// a reason to look elsewhere, as is finding none at all.
std::optional<std::string> chooseBundlesDirectory(
    const std::vector<BundlesDirectoryCandidate>& candidates, std::string* error);

// The directory that holds the running executable (empty when it cannot be told).
std::string executableDirectory();

// Loads every <name>.bundle directory in `directory`, in name order. A bundle that cannot be
// used (no Info.plist keys, a library that does not load, a principal class it does not
// register) is reported on `problems` and skipped.
std::vector<SettingsBundle> loadBundles(const std::string& directory, std::ostream& problems);
