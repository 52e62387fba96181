// Hostile desktop entries: an application whose entry cannot be used is listed under its
// identifier with the filter's icon; its row, its usage and every other row stay as they are.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "bundle/BundleFixture.h"
#include "hostile/Catalogue.h"

namespace fs = std::filesystem;

namespace {

const char* const kApp = "org.example.Hostile";

class HostileDesktopEntry : public BundleTest {
  protected:
    std::string entryPath() {
        return home.path() + "/.local/share/applications/" + std::string(kApp) + ".desktop";
    }
    void entry(const std::string& bytes) {
        home.write(".local/share/applications/" + std::string(kApp) + ".desktop", bytes);
    }
    void entryWith(const std::string& body) { entry("[Desktop Entry]\nType=Application\n" + body); }

    // Builds the page; should the build hang on the file at `fifo` (a reader blocked on a
    // FIFO without writer), a watchdog opens the FIFO's other end so that the test can end and
    // report it.
    bool openPageWatched(const std::string& fifo) {
        std::atomic<bool> done{false};
        std::atomic<bool> rescued{false};
        std::thread watchdog([&] {
            auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (!done && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (done || fifo.empty()) return;
            rescued = true;
            int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0) ::close(fd);
        });
        openPage();
        done = true;
        watchdog.join();
        return !rescued;
    }
};

TEST_F(HostileDesktopEntry, TheRowFallsBackToTheIdentifierAndTheFilterIcon) {
    struct Case {
        const char* what;
        std::function<void()> put;
        std::string title;
        std::string icon;  // resource name of the row's icon
        std::vector<std::string> log;
        std::string fifo = {};  // a FIFO the page might block on
    };
    const std::string fifo = home.path() + "/icon.fifo";
    std::string binary;
    for (int i = 0; i < 4096; ++i) binary += static_cast<char>((i * 131 + 7) & 0xff);
    const std::string bigName(200000, 'N');
    const Case cases[] = {
        {"no entry at all", [] {}, kApp, "icon", {}},
        {"a group header never closed",
         [&] { entry("[Desktop Entry\nName=Broken\n"); },
         kApp,
         "icon",
         {"ignoring unreadable desktop entry "}},
        {"a key outside any group",
         [&] { entry("Name=Orphan\n[Desktop Entry]\n"); },
         kApp,
         "icon",
         {"ignoring unreadable desktop entry "}},
        {"another group only",
         [&] { entry("[Other]\nName=Elsewhere\n"); },
         kApp,
         "icon",
         {"ignoring desktop entry without a [Desktop Entry] group"}},
        {"no Name", [&] { entryWith("Exec=true\n"); }, kApp, "icon", {}},
        {"an empty Name", [&] { entryWith("Name=\n"); }, kApp, "icon", {}},
        {"a Name of 200000 bytes",
         [&] { entryWith("Name=" + bigName + "\n"); },
         bigName,
         "icon",
         {}},
        {"a Name that is not UTF-8",
         [&] { entryWith("Name=Bad\xff\xfe name\n"); },
         kApp,
         "icon",
         {}},
        {"a translated Name that is not UTF-8 beside a plain one",
         [&] { entryWith("Name[en_US]=\xc3\x28\nName=Plain\n"); },
         "Plain",
         "icon",
         {}},
        {"binary contents",
         [&] { entry(binary); },
         kApp,
         "icon",
         {"ignoring unreadable desktop entry "}},
        // The key-file reader ends a value at a NUL byte.
        {"NUL bytes inside the Name",
         [&] { entryWith(std::string("Name=a\0b\n", 9)); },
         "a",
         "icon",
         {}},
        {"eight mebibytes of junk after the Name",
         [&] {
             std::string junk = "Name=Junk\n";
             for (int i = 0; i < 8192; ++i)
                 junk += "X-Junk" + std::to_string(i) + "=" + std::string(1000, 'j') + "\n";
             entryWith(junk);
         },
         "Junk",
         "icon",
         {}},
        {"an Icon pointing nowhere",
         [&] { entryWith("Name=Lost\nIcon=" + home.path() + "/no/such/icon.png\n"); },
         "Lost",
         "icon",
         {}},
        {"an Icon naming a theme icon that does not exist",
         [&] { entryWith("Name=Lost\nIcon=org.example.NoSuchIcon\n"); },
         "Lost",
         "icon",
         {}},
        {"an Icon climbing out of the theme",
         [&] { entryWith("Name=Climber\nIcon=../../../../etc/passwd\n"); },
         "Climber",
         "icon",
         {}},
        {"an Icon that is a directory",
         [&] { entryWith("Name=Folder\nIcon=" + home.path() + "\n"); },
         "Folder",
         "icon",
         {"UIImage: cannot read "}},
        {"an Icon that is a text file",
         [&] {
             home.write("text.png", "hello");
             entryWith("Name=Text\nIcon=" + home.path() + "/text.png\n");
         },
         "Text",
         "icon",
         {"UIImage: cannot read "}},
        {"an Icon that is /dev/zero",
         [&] { entryWith("Name=Zero\nIcon=/dev/zero\n"); },
         "Zero",
         "icon",
         {"UIImage: cannot read "}},
        {"an Icon that is a FIFO nobody writes to",
         [&] {
             fs::remove(fifo);
             EXPECT_EQ(mkfifo(fifo.c_str(), 0644), 0);
             entryWith("Name=Pipe\nIcon=" + fifo + "\n");
         },
         "Pipe",
         "icon",
         {"UIImage: cannot read "},
         fifo},
        {"the entry is a directory",
         [&] { fs::create_directories(entryPath()); },
         kApp,
         "icon",
         {}},
        {"the entry is a FIFO",
         [&] {
             fs::create_directories(fs::path(entryPath()).parent_path());
             EXPECT_EQ(mkfifo(entryPath().c_str(), 0644), 0);
         },
         kApp,
         "icon",
         {},
         entryPath()},
        {"the entry links to itself",
         [&] {
             fs::create_directories(fs::path(entryPath()).parent_path());
             fs::create_symlink(entryPath(), entryPath());
         },
         kApp,
         "icon",
         {}},
        {"the entry links to /dev/urandom",
         [&] {
             fs::create_directories(fs::path(entryPath()).parent_path());
             fs::create_symlink("/dev/urandom", entryPath());
         },
         kApp,
         "icon",
         {}},
    };
    RecordProperty("inputs", static_cast<int>(std::size(cases)));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(home.path() + "/.local/share/applications");
        fs::remove_all(home.path() + "/.local/share/bytarn");
        LAActivator::sharedInstance().clearCache();
        c.put();
        addUsage(kApp, "2026-12-06", 2048, 0);
        addUsage("org.example.Other", "2026-12-06", 1024, 0);
        desktopEntry("org.example.Other", "Other");

        SystemLog::takeCaptured();
        ASSERT_TRUE(openPageWatched(c.fifo)) << "the page hung on " << c.fifo;
        catalogue::expectLog(c.log);
        const auto shown = rows();
        ASSERT_EQ(shown.size(), 5u);
        EXPECT_EQ(shown[0], "[Usage for today]");
        EXPECT_EQ(shown[1], "Wi-Fi=3.00KB");
        EXPECT_EQ(shown[3], c.title + "=2.00KB");
        EXPECT_EQ(shown[4], "Other=1.00KB");
        EXPECT_EQ(iconOf(c.title), c.icon);
        EXPECT_EQ(page->specifiers()[3]->stringProperty("id"), kApp);
    }
}

}  // namespace
