#include "settings/terminal/TerminalSession.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <exception>
#include <optional>
#include <ostream>

#include "host/foundation/Clock.h"
#include "host/foundation/RunLoop.h"
#include "host/foundation/SystemLog.h"
#include "settings/core/SettingsApplication.h"
#include "settings/core/SettingsSession.h"
#include "settings/terminal/TerminalController.h"
#include "settings/terminal/TerminalCurses.h"
#include "settings/terminal/TerminalScreen.h"
#include "settings/terminal/TerminalView.h"

namespace {

// The write end of the wake-up pipe, for the signal handler; -1 while no session runs.
volatile sig_atomic_t wakeWriteEnd = -1;
volatile sig_atomic_t stopSignal = 0;

void poke(int fd) {
    if (fd < 0) return;
    char byte = 0;
    // A full pipe already holds a wake-up; nothing is lost when this write fails.
    [[maybe_unused]] ssize_t written = write(fd, &byte, 1);
}

extern "C" void onStopSignal(int signal) {
    int saved = errno;
    stopSignal = signal;
    poke(wakeWriteEnd);
    errno = saved;
}

// A pipe that the run loop and the signal handlers write a byte to, so that the session's poll
// wakes up for them as it does for a key.
class WakePipe {
  public:
    WakePipe() {
        if (pipe2(fds_, O_NONBLOCK | O_CLOEXEC) != 0) fds_[0] = fds_[1] = -1;
    }
    ~WakePipe() {
        for (int fd : fds_)
            if (fd >= 0) close(fd);
    }
    WakePipe(const WakePipe&) = delete;
    WakePipe& operator=(const WakePipe&) = delete;

    bool ok() const { return fds_[0] >= 0; }
    int readEnd() const { return fds_[0]; }
    int writeEnd() const { return fds_[1]; }
    void drain() const {
        char buffer[64];
        while (read(fds_[0], buffer, sizeof buffer) > 0) {
        }
    }

  private:
    int fds_[2] = {-1, -1};
};

// For the life of a session: the run loop's wake-ups and the stop signals write to the pipe, and
// the log stays off the screen. Everything is put back at the end.
class SessionHooks {
  public:
    explicit SessionHooks(const WakePipe& pipe) {
        int fd = pipe.writeEnd();
        wakeWriteEnd = fd;
        stopSignal = 0;
        RunLoop::main().setWakeHandler([fd] { poke(fd); });
        struct sigaction action {};
        action.sa_handler = onStopSignal;
        sigemptyset(&action.sa_mask);
        for (size_t i = 0; i < std::size(kSignals); ++i)
            sigaction(kSignals[i], &action, &saved_[i]);
        SystemLog::setEchoToStandardError(false);
    }
    ~SessionHooks() {
        SystemLog::setEchoToStandardError(true);
        for (size_t i = 0; i < std::size(kSignals); ++i)
            sigaction(kSignals[i], &saved_[i], nullptr);
        RunLoop::main().setWakeHandler(nullptr);
        wakeWriteEnd = -1;
    }
    SessionHooks(const SessionHooks&) = delete;
    SessionHooks& operator=(const SessionHooks&) = delete;

  private:
    static constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
    struct sigaction saved_[std::size(kSignals)]{};
};

// How long the session may sleep: until the next timer or the end of a highlight, else for good
// (-1), in milliseconds for poll().
int sleepMilliseconds(const TerminalController& controller) {
    std::optional<double> wait;
    if (auto next = RunLoop::main().nextFireDate()) wait = *next - Clock::now();
    if (auto deadline = controller.highlightDeadline()) {
        double untilDeadline = *deadline - TerminalController::steadySeconds();
        wait = wait ? std::min(*wait, untilDeadline) : untilDeadline;
    }
    if (!wait) return -1;
    double milliseconds = std::ceil(std::max(0.0, *wait) * 1000.0);
    return static_cast<int>(std::min(milliseconds, static_cast<double>(INT_MAX)));
}

// The last line logged since the last look, for the status line.
void showLog(TerminalController& controller) {
    auto lines = SystemLog::takeCaptured();
    if (!lines.empty()) controller.showMessage(lines.back());
}

int runLoop(TerminalCurses& curses, TerminalController& controller, const WakePipe& pipe) {
    TerminalView view(curses.unicode());
    TerminalScreen screen(curses.columns(), curses.rows());
    controller.resize(curses.columns(), curses.rows());
    controller.refresh();
    while (true) {
        showLog(controller);
        view.render(controller, screen);
        curses.draw(screen);
        if (controller.quitRequested() || stopSignal) break;

        pollfd waits[2] = {{STDIN_FILENO, POLLIN, 0}, {pipe.readEnd(), POLLIN, 0}};
        int ready = poll(waits, 2, sleepMilliseconds(controller));
        if (ready < 0 && errno != EINTR) return 1;
        if (ready > 0 && (waits[0].revents & (POLLHUP | POLLERR | POLLNVAL))) break;
        if (ready > 0 && waits[1].revents) pipe.drain();
        if (stopSignal) break;

        for (const TerminalKey& key : curses.readKeys()) {
            if (key.kind == TerminalKey::Resize)
                controller.resize(curses.columns(), curses.rows());
            else if (key.kind == TerminalKey::Click)
                controller.handleHit(view.hitTest(controller, key.column, key.row));
            else
                controller.handleKey(key);
            if (controller.quitRequested()) break;
        }
        controller.refresh();
    }
    return stopSignal ? 128 + stopSignal : 0;
}

}  // namespace

int runTerminalSession(const SessionOptions& options, std::ostream& err) {
    if (!isatty(STDIN_FILENO) || !isatty(STDOUT_FILENO)) {
        err << "bytarn: the interactive application needs a terminal; try bytarn view\n";
        return 1;
    }
    auto application = startSettingsApplication(options, err);
    if (!application) return 1;
    std::string error;
    // The page asked for (a notification's), else the one bundle's, else the Settings list.
    if (!application->openStartPage(options.page, &error)) {
        err << "bytarn: " << error << "\n";
        return 2;
    }
    RunLoop::main().runUntilIdle();
    // The session starts at --now (or now) and from there runs in real time.
    Clock::useRealTimeFrom(Clock::now());
    WakePipe pipe;
    if (!pipe.ok()) {
        err << "bytarn: cannot make a pipe to wait on\n";
        return 1;
    }
    int status = 1;
    std::string failure;
    {
        SessionHooks hooks(pipe);
        try {
            TerminalCurses curses;
            TerminalController controller(*application);
            status = runLoop(curses, controller, pipe);
        } catch (const std::exception& error) {
            failure = error.what();
        }
    }
    // Said once the terminal is back to normal.
    if (!failure.empty()) {
        err << "bytarn: " << failure << "\n";
        return 1;
    }
    return status;
}
