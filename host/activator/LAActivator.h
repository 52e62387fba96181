#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

class UIImage;

// Titles and icons of applications by identifier, from the freedesktop desktop entries
// applications/<identifier>.desktop under $XDG_DATA_HOME and each of $XDG_DATA_DIRS (the first
// found wins). The title is the entry's Name localized for the default locale; the icon is the
// entry's Icon: an absolute path to a PNG, or a name looked up as a PNG in the hicolor theme
// (smallest size first) or in /usr/share/pixmaps. Unknown identifiers give nothing. Every answer
// is kept for the life of the process.
class LAActivator {
  public:
    static LAActivator& sharedInstance();

    // The title, or nothing when there is no entry or it has no Name.
    std::optional<std::string> localizedTitleForListenerName(const std::string& identifier);
    // The small icon, or nothing.
    std::shared_ptr<UIImage> smallIconForListenerName(const std::string& identifier);

    // Forget every cached answer (tests that change the desktop entries).
    void clearCache();
    // How many look-ups went to the file system (to check the cache works).
    unsigned fileLookups() const;

  private:
    struct Answer {
        std::optional<std::string> title;
        std::shared_ptr<UIImage> icon;
    };
    const Answer& lookUp(const std::string& identifier);
    Answer answerFromFiles(const std::string& identifier);

    mutable std::mutex mutex_;
    // Hashed: a page looks up every application's title and icon at every build.
    std::unordered_map<std::string, Answer> cache_;
    // The latest answer: a row asks for its title, then at once for its icon. Elements of the
    // map stay where they are until they are erased, so these stay valid until clearCache.
    const std::string* lastIdentifier_ = nullptr;
    const Answer* lastAnswer_ = nullptr;
    unsigned fileLookups_ = 0;
};
