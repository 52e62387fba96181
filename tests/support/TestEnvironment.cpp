#include "support/TestEnvironment.h"

#include <unicode/calendar.h>
#include <unicode/timezone.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "host/foundation/Clock.h"
#include "host/foundation/Locale.h"

namespace fs = std::filesystem;

namespace {
const char* const kVariables[] = {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_DATA_DIRS"};
}

struct ScratchHome::Saved {
    std::string values[4];
    bool present[4] = {};
    std::string timeZone;
    std::string locale;
};

ScratchHome::ScratchHome(const std::string& timeZone, const std::string& locale)
    : saved_(new Saved) {
    std::string pattern = (fs::temp_directory_path() / "bytarn-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
    for (int i = 0; i < 4; ++i) {
        if (const char* v = std::getenv(kVariables[i])) {
            saved_->present[i] = true;
            saved_->values[i] = v;
        }
    }
    setenv("HOME", root_.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (root_ + "/.config").c_str(), 1);
    setenv("XDG_DATA_HOME", (root_ + "/.local/share").c_str(), 1);
    setenv("XDG_DATA_DIRS", (root_ + "/usr/share").c_str(), 1);
    saved_->timeZone = Locale::defaultTimeZone();
    saved_->locale = Locale::defaultLocale();
    Locale::setDefaultTimeZone(timeZone);
    Locale::setDefaultLocale(locale);
    Clock::setVirtual(localInstant("2026-12-06T12:00:00"));
}

ScratchHome::~ScratchHome() {
    for (int i = 0; i < 4; ++i) {
        if (saved_->present[i])
            setenv(kVariables[i], saved_->values[i].c_str(), 1);
        else
            unsetenv(kVariables[i]);
    }
    Locale::setDefaultTimeZone(saved_->timeZone);
    Locale::setDefaultLocale(saved_->locale);
    Clock::useRealTime();
    std::error_code ignored;
    fs::remove_all(root_, ignored);
    delete saved_;
}

std::string ScratchHome::file(const std::string& relative) const {
    fs::path p = fs::path(root_) / relative;
    fs::create_directories(p.parent_path());
    return p.string();
}

void ScratchHome::write(const std::string& relative, const std::string& text) const {
    std::ofstream out(file(relative), std::ios::binary | std::ios::trunc);
    out << text;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

double localInstant(const std::string& text) {
    int y, mo, d, h = 0, mi = 0, s = 0;
    if (std::sscanf(text.c_str(), "%d-%d-%dT%d:%d:%d", &y, &mo, &d, &h, &mi, &s) < 3)
        throw std::invalid_argument("bad instant " + text);
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::Calendar> cal(icu::Calendar::createInstance(status));
    if (U_FAILURE(status)) throw std::runtime_error("no calendar");
    cal->clear();
    cal->set(y, mo - 1, d, h, mi, s);
    double ms = cal->getTime(status);
    if (U_FAILURE(status)) throw std::runtime_error("bad calendar time");
    return ms / 1000.0;
}
