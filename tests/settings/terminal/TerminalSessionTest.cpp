#include "settings/terminal/TerminalSession.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

#include "collector/UsageDatabase.h"
#include "settings/terminal/TerminalScreen.h"
#include "support/TestEnvironment.h"

namespace {

std::string quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// What a shell command printed.
std::string output(const std::string& command) {
    std::string out;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
        pclose(pipe);
    }
    return out;
}

// A tmux server of the test's own, on its own socket, killed at the end.
class Tmux {
  public:
    Tmux() : socket_("bytarn-test-" + std::to_string(getpid())) {}
    ~Tmux() { output(tmux("kill-server") + " 2>/dev/null"); }

    std::string tmux(const std::string& arguments) const {
        return "tmux -L " + socket_ + " -f /dev/null " + arguments;
    }
    void start(const std::string& command, int columns, int rows) const {
        output(tmux("new-session -d -x " + std::to_string(columns) + " -y " + std::to_string(rows) +
                    " " + quoted(command)));
    }
    void keys(const std::string& names) const { output(tmux("send-keys " + names)); }
    // The pane's text; with escapes, its colours and attributes too.
    std::string capture(bool escapes = false) const {
        return output(tmux(std::string("capture-pane -p") + (escapes ? " -e" : "")));
    }
    // Waits until the pane shows what the test waits for; the last capture either way.
    std::string waitFor(const std::function<bool(const std::string&)>& shown) const {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        std::string screen;
        while (std::chrono::steady_clock::now() < deadline) {
            screen = capture();
            if (shown(screen)) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return screen;
    }
    std::string waitForText(const std::string& text) const {
        return waitFor([&](const std::string& s) { return s.find(text) != std::string::npos; });
    }

  private:
    std::string socket_;
};

std::string lineWith(const std::string& screen, const std::string& text) {
    std::istringstream lines(screen);
    for (std::string line; std::getline(lines, line);)
        if (line.find(text) != std::string::npos) return line;
    return "(no line with " + text + ")";
}

std::string firstLine(const std::string& screen) {
    return screen.substr(0, screen.find('\n'));
}

// The real `bytarn` on a real terminal: tmux's. From the Settings page into the bundle, the
// settings section, a choice, an application's page and back, and out again.
TEST(TerminalSession, DrivesTheApplicationInATerminal) {
    if (output("command -v tmux").empty()) GTEST_SKIP() << "tmux is not installed";
    const std::string binary = BYTARN_BINARY_DIR "/bin/bytarn";
    ASSERT_EQ(access(binary.c_str(), X_OK), 0) << binary << " is not built";

    ScratchHome home;
    for (auto [id, name, wifi] : {std::tuple{"org.example.Video", "Video", 300'000'000},
                                  {"org.example.Mail", "Mail", 2'000'000}}) {
        home.write(std::string(".local/share/applications/") + id + ".desktop",
                   std::string("[Desktop Entry]\nType=Application\nName=") + name + "\n");
        UsageDatabase(UsageDatabase::defaultPath()).addUsage(id, "2026-12-06", wifi, 0, 0);
    }
    const std::string& root = home.path();
    std::string command =
        "env HOME=" + quoted(root) + " XDG_CONFIG_HOME=" + quoted(root + "/.config") +
        " XDG_DATA_HOME=" + quoted(root + "/.local/share") +
        " XDG_DATA_DIRS=" + quoted(root + "/usr/share") +
        " LANG=C.UTF-8 LC_ALL=C.UTF-8 NO_COLOR=1 " + quoted(binary) +
        " --now 2026-12-06T12:00:00 --tz Europe/Berlin --locale en_US"
        " --no-collector --bundles " +
        quoted(BYTARN_BUILD_BUNDLES_DIR) + "; echo \"bytarn exited with $?\"; sleep 30";
    Tmux tmux;
    tmux.start(command, 100, 30);

    std::string screen = tmux.waitForText("Bytarn");
    EXPECT_EQ(firstLine(screen), std::string(46, ' ') + "Settings") << screen;

    tmux.keys("Enter");
    // The page's rows, not only its header: a capture can come while the screen is redrawn.
    screen = tmux.waitFor([](const std::string& s) {
        return s.find("Usage for today") != std::string::npos &&
               s.find("286.10MB") != std::string::npos;
    });
    EXPECT_EQ(firstLine(screen).substr(0, 11), " < Settings") << screen;
    // The rows are laid out at the pane's width: the mark of a row that opens a page is in the
    // third column from the right.
    EXPECT_EQ(TerminalScreen::width(lineWith(screen, "Video")), 98) << screen;
    EXPECT_NE(lineWith(screen, "Video").find("286.10MB ›"), std::string::npos) << screen;

    tmux.keys("s");
    screen = tmux.waitForText("Sort by");
    EXPECT_NE(lineWith(screen, "Sort by").find("Usage ›"), std::string::npos) << screen;

    tmux.keys("Home Enter");
    screen = tmux.waitForText("✓");
    EXPECT_NE(firstLine(screen).find("Sort by"), std::string::npos) << screen;
    EXPECT_NE(lineWith(screen, "Usage").find("✓"), std::string::npos) << screen;

    tmux.keys("Up Enter");
    screen = tmux.waitForText("Name ›");
    EXPECT_NE(firstLine(screen).find("Bytarn"), std::string::npos) << screen;

    // By name, Video is the last application.
    tmux.keys("End Enter");
    screen = tmux.waitForText("Breakdown");
    EXPECT_EQ(firstLine(screen).substr(0, 9), " < Bytarn") << screen;
    EXPECT_NE(firstLine(screen).find("Video"), std::string::npos) << screen;

    tmux.keys("Left");
    screen = tmux.waitFor([](const std::string& s) {
        return s.find("< Settings") != std::string::npos && s.find("Name ›") != std::string::npos;
    });
    EXPECT_NE(lineWith(screen, "Sort by").find("Name ›"), std::string::npos) << screen;
    // Without colours the selection is in reverse video, still on the application's row.
    EXPECT_NE(lineWith(tmux.capture(true), "Video").find("\x1b[7m"), std::string::npos);
    EXPECT_EQ(lineWith(tmux.capture(true), "Mail").find("\x1b[7m"), std::string::npos);

    tmux.keys("q");
    screen = tmux.waitForText("bytarn exited with");
    EXPECT_NE(screen.find("bytarn exited with 0"), std::string::npos) << screen;
    EXPECT_EQ(screen.find("Usage for today"), std::string::npos)
        << "the terminal is given back as it was";
}

}  // namespace
