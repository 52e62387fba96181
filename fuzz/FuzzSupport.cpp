#include "fuzz/FuzzSupport.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "host/activator/LAActivator.h"
#include "host/foundation/Clock.h"
#include "host/foundation/Locale.h"
#include "host/foundation/RunLoop.h"
#include "host/foundation/SystemLog.h"

namespace fs = std::filesystem;

namespace FuzzSupport {

namespace {

// 2026-12-06T12:00:00 in Europe/Berlin.
constexpr double kStartInstant = 1796554800.0;

std::string& scratchRoot() {
    static std::string root;
    return root;
}

void removeScratch() {
    if (scratchRoot().empty()) return;
    std::error_code ignored;
    fs::remove_all(scratchRoot(), ignored);
}

}  // namespace

void initialize() {
    if (!scratchRoot().empty()) return;
    std::string pattern = (fs::temp_directory_path() / "bytarn-fuzz-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    scratchRoot() = pattern;
    std::atexit(removeScratch);

    setenv("HOME", pattern.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (pattern + "/.config").c_str(), 1);
    setenv("XDG_DATA_HOME", (pattern + "/.local/share").c_str(), 1);
    setenv("XDG_DATA_DIRS", (pattern + "/usr/share").c_str(), 1);
    setenv("TZ", "Europe/Berlin", 1);
    setenv("LANG", "en_US.UTF-8", 1);
    unsetenv("LC_ALL");
    Locale::setDefaultTimeZone("Europe/Berlin");
    Locale::setDefaultLocale("en_US");
    Clock::setVirtual(kStartInstant);
    SystemLog::setEchoToStandardError(false);
    SystemLog::setSendToSyslog(false);
}

const std::string& home() {
    return scratchRoot();
}

void resetForInput() {
    RunLoop::main().reset();
    SystemLog::takeCaptured();
    LAActivator::sharedInstance().clearCache();
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(scratchRoot(), ignored))
        fs::remove_all(entry.path(), ignored);
    Clock::setVirtual(kStartInstant);
}

std::string writeFile(const std::string& relative, std::string_view bytes) {
    fs::path path = fs::path(scratchRoot()) / relative;
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out.flush()) throw std::runtime_error("cannot write " + path.string());
    return path.string();
}

}  // namespace FuzzSupport

void FuzzSupport::fail(const char* what, const std::string& detail) {
    std::fprintf(stderr, "%s: %s\n%s\n", program_invocation_short_name, what, detail.c_str());
    std::abort();
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    FuzzSupport::initialize();
    return 0;
}
