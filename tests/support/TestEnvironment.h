#pragma once

#include <string>

// A scratch home for one test: HOME, XDG_CONFIG_HOME, XDG_DATA_HOME and XDG_DATA_DIRS point into a
// fresh temporary directory for the test's life, TZ and the default locale are pinned, and the
// clock is virtual. Everything is put back when it goes out of scope.
class ScratchHome {
  public:
    explicit ScratchHome(const std::string& timeZone = "Europe/Berlin",
                         const std::string& locale = "en_US");
    ~ScratchHome();
    ScratchHome(const ScratchHome&) = delete;
    ScratchHome& operator=(const ScratchHome&) = delete;

    const std::string& path() const { return root_; }
    // root/relative, with parent directories created.
    std::string file(const std::string& relative) const;
    // Writes text to root/relative, creating parent directories.
    void write(const std::string& relative, const std::string& text) const;

  private:
    std::string root_;
    struct Saved;
    Saved* saved_;
};

// Reads a whole file; empty when missing.
std::string readFile(const std::string& path);

// Local time "YYYY-MM-DDTHH:MM:SS" in the default time zone, as seconds since 1970.
double localInstant(const std::string& text);
