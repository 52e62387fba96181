#include "host/activator/LAActivator.h"

#include <glib.h>
#include <unicode/locid.h>

#include <filesystem>
#include <vector>

#include "host/foundation/Locale.h"
#include "host/foundation/Paths.h"
#include "host/foundation/SystemLog.h"
#include "host/ui/UIImage.h"

namespace {

constexpr const char* kGroup = "Desktop Entry";

// Icon theme sizes, smallest first: the list rows show small icons.
constexpr const char* kIconSizes[] = {"16x16", "22x22", "24x24",   "29x29",  "32x32",
                                      "48x48", "64x64", "128x128", "256x256"};

struct KeyFileDeleter {
    void operator()(GKeyFile* file) const { g_key_file_free(file); }
};
using KeyFile = std::unique_ptr<GKeyFile, KeyFileDeleter>;

// Takes ownership of a string glib allocated.
std::optional<std::string> adopt(gchar* text) {
    if (!text) return std::nullopt;
    std::string out(text);
    g_free(text);
    return out;
}

// An identifier names one file in applications/; anything that could leave that directory, or
// name a hidden file, is refused.
bool isSafeIdentifier(const std::string& identifier) {
    return !identifier.empty() && identifier.front() != '.' &&
           identifier.find('/') == std::string::npos && identifier.find('\0') == std::string::npos;
}

// Data directories in order of precedence: the user's first, then the system's.
std::vector<std::string> dataDirectories() {
    std::vector<std::string> directories{Paths::dataHome()};
    for (const std::string& directory : Paths::dataDirs()) directories.push_back(directory);
    return directories;
}

// The default locale in the POSIX form desktop entries key their translations by
// (language[_COUNTRY][@modifier]); glib derives the fallbacks ("de_DE" -> "de") itself.
std::string desktopEntryLocale() {
    const icu::Locale& locale = icu::Locale::getDefault();
    std::string name = locale.getLanguage();
    if (name.empty()) return name;
    if (*locale.getCountry()) name += std::string("_") + locale.getCountry();
    std::string script = locale.getScript();
    if (script == "Latn")
        name += "@latin";
    else if (script == "Cyrl")
        name += "@cyrillic";
    return name;
}

// The first readable desktop entry for the identifier, or null. A file that glib cannot read
// is logged and passed over as though it were not there.
KeyFile loadDesktopEntry(const std::string& identifier) {
    namespace fs = std::filesystem;
    for (const std::string& directory : dataDirectories()) {
        std::string path = directory + "/applications/" + identifier + ".desktop";
        std::error_code error;
        if (!fs::is_regular_file(path, error)) continue;
        KeyFile file(g_key_file_new());
        GError* loadError = nullptr;
        // Without KEEP_TRANSLATIONS glib drops every Name[xx] that does not match the process's
        // C library locale, which need not be the locale the titles are shown in.
        if (!g_key_file_load_from_file(file.get(), path.c_str(), G_KEY_FILE_KEEP_TRANSLATIONS,
                                       &loadError)) {
            SystemLog::write("ignoring unreadable desktop entry " + path + ": " +
                             (loadError ? loadError->message : "unknown error"));
            g_clear_error(&loadError);
            continue;
        }
        if (!g_key_file_has_group(file.get(), kGroup)) {
            SystemLog::write("ignoring desktop entry without a [Desktop Entry] group: " + path);
            continue;
        }
        return file;
    }
    return nullptr;
}

std::shared_ptr<UIImage> iconNamed(std::string name) {
    // Icon names carry no extension, but some entries add one anyway.
    if (name.size() > 4 && name.ends_with(".png")) name.resize(name.size() - 4);
    if (name.empty() || name.front() == '.' || name.find('/') != std::string::npos) return nullptr;
    namespace fs = std::filesystem;
    std::vector<std::string> directories = dataDirectories();
    for (const char* size : kIconSizes) {
        for (const std::string& directory : directories) {
            std::string path = directory + "/icons/hicolor/" + size + "/apps/" + name + ".png";
            std::error_code error;
            if (!fs::is_regular_file(path, error)) continue;
            if (auto image = UIImage::imageWithContentsOfFile(path)) return image;
        }
    }
    std::string pixmap = "/usr/share/pixmaps/" + name + ".png";
    std::error_code error;
    if (fs::is_regular_file(pixmap, error)) return UIImage::imageWithContentsOfFile(pixmap);
    return nullptr;
}

std::shared_ptr<UIImage> iconFromEntry(const std::string& icon) {
    if (icon.empty()) return nullptr;
    if (icon.front() == '/') return UIImage::imageWithContentsOfFile(icon);
    return iconNamed(icon);
}

}  // namespace

LAActivator& LAActivator::sharedInstance() {
    static LAActivator instance;
    return instance;
}

std::optional<std::string> LAActivator::localizedTitleForListenerName(
    const std::string& identifier) {
    std::lock_guard lock(mutex_);
    return lookUp(identifier).title;
}

std::shared_ptr<UIImage> LAActivator::smallIconForListenerName(const std::string& identifier) {
    std::lock_guard lock(mutex_);
    return lookUp(identifier).icon;
}

void LAActivator::clearCache() {
    std::lock_guard lock(mutex_);
    lastIdentifier_ = nullptr;
    lastAnswer_ = nullptr;
    cache_.clear();
}

unsigned LAActivator::fileLookups() const {
    std::lock_guard lock(mutex_);
    return fileLookups_;
}

// Called with mutex_ held, as is answerFromFiles.
const LAActivator::Answer& LAActivator::lookUp(const std::string& identifier) {
    if (lastAnswer_ && *lastIdentifier_ == identifier) return *lastAnswer_;
    auto found = cache_.find(identifier);
    if (found == cache_.end())
        found = cache_.emplace(identifier, answerFromFiles(identifier)).first;
    lastIdentifier_ = &found->first;
    lastAnswer_ = &found->second;
    return found->second;
}

LAActivator::Answer LAActivator::answerFromFiles(const std::string& identifier) {
    ++fileLookups_;
    Answer answer;
    if (isSafeIdentifier(identifier)) {
        if (KeyFile entry = loadDesktopEntry(identifier)) {
            std::string locale = desktopEntryLocale();
            answer.title = adopt(g_key_file_get_locale_string(
                entry.get(), kGroup, "Name", locale.empty() ? nullptr : locale.c_str(), nullptr));
            if (auto icon = adopt(g_key_file_get_string(entry.get(), kGroup, "Icon", nullptr)))
                answer.icon = iconFromEntry(*icon);
        }
    }
    return answer;
}
