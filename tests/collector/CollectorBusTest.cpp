// The collector daemon end to end: a private bus, the real `bytarn-collector run` process, and
// this test process as the page would be, sending messages and observing the notification.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "collector/CollectorTestSupport.h"
#include "collector/UsageDatabase.h"
#include "host/DBusTransport.h"
#include "host/SystemLog.h"
#include "support/TestEnvironment.h"

namespace {

namespace fs = std::filesystem;
using Rows = std::vector<std::vector<std::string>>;

const char* const kService = "org.bytarn.collector";

bool installed(const std::string& program) {
    return std::system(("command -v " + program + " > /dev/null 2>&1").c_str()) == 0;
}

// Waits for a condition, checking every 20 ms, for at most `seconds`.
bool eventually(const std::function<bool()>& condition, double seconds = 10) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// A dbus-daemon of our own, listening in a temporary directory, with no services to activate.
class PrivateBus {
  public:
    explicit PrivateBus(const std::string& directory) {
        std::string config = directory + "/bus.conf";
        FILE* file = std::fopen(config.c_str(), "w");
        if (!file) return;
        std::fprintf(file,
                     "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration "
                     "1.0//EN\" \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                     "<busconfig><type>session</type><listen>unix:dir=%s</listen>"
                     "<auth>EXTERNAL</auth><policy context=\"default\">"
                     "<allow send_destination=\"*\" eavesdrop=\"true\"/>"
                     "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n",
                     directory.c_str());
        std::fclose(file);
        std::string command = "dbus-daemon --config-file=" + config +
                              " --fork --nopidfile --print-address=1 --print-pid=1";
        FILE* output = popen(command.c_str(), "r");
        if (!output) return;
        char line[512];
        if (std::fgets(line, sizeof line, output)) address_ = line;
        if (std::fgets(line, sizeof line, output)) pid_ = std::atoi(line);
        pclose(output);
        while (!address_.empty() && address_.back() == '\n') address_.pop_back();
    }
    ~PrivateBus() {
        if (pid_ > 0) kill(pid_, SIGTERM);
    }
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    bool running() const { return pid_ > 0 && !address_.empty(); }
    const std::string& address() const { return address_; }

  private:
    std::string address_;
    pid_t pid_ = -1;
};

// The collector process, its standard input a pipe that the test writes to.
class CollectorProcess {
  public:
    CollectorProcess(const std::vector<std::string>& arguments, const std::string& logPath) {
        int fds[2];
        if (pipe(fds) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(fds[0], 0);
            int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (log >= 0) dup2(log, 2);
            close(fds[0]);
            close(fds[1]);
            std::vector<char*> argv;
            for (const auto& argument : arguments)
                argv.push_back(const_cast<char*>(argument.c_str()));
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(fds[0]);
        input_ = fds[1];
    }
    ~CollectorProcess() {
        if (input_ >= 0) close(input_);
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    CollectorProcess(const CollectorProcess&) = delete;
    CollectorProcess& operator=(const CollectorProcess&) = delete;

    void send(const std::string& text) {
        ASSERT_EQ(write(input_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }

    // Sends the signal and waits for the exit status (-1 when it did not exit normally in time).
    int stop(int signal) {
        kill(pid_, signal);
        int status = 0;
        bool exited = eventually([&] { return waitpid(pid_, &status, WNOHANG) == pid_; });
        if (!exited) return -1;
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

  private:
    pid_t pid_ = -1;
    int input_ = -1;
};

TEST(CollectorOnTheBus, SavesDeletesAndNotifiesAcrossProcesses) {
    if (!installed("dbus-daemon")) GTEST_SKIP() << "dbus-daemon is not installed";
    ScratchHome home;
    PrivateBus bus(home.path());
    ASSERT_TRUE(bus.running());
    const char* previousAddress = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    std::string savedAddress = previousAddress ? previousAddress : "";
    setenv("DBUS_SESSION_BUS_ADDRESS", bus.address().c_str(), 1);
    SystemLog::setEchoToStandardError(false);

    std::string log = home.path() + "/collector.log";
    {
        // This process plays the page: it sends over the bus and observes the notification.
        auto messaging = std::make_shared<DBusMessagingTransport>();
        auto notifications = std::make_shared<DBusNotificationTransport>();
        TransportsGuard transports(messaging, notifications);
        NotificationCounter changed("org.bytarn/Changed");
        NotificationCounter own("org.bytarn/Test");
        auto center = CPDistributedMessagingCenter::centerNamed(kService);
        EXPECT_FALSE(center->sendMessageName("save", std::nullopt)) << "no collector yet";

        CollectorProcess collector({BYTARN_BINARY_DIR "/bin/bytarn-collector", "run", "--source",
                                    "stdin", "--save-interval", "3600"},
                                   log);
        ASSERT_TRUE(eventually([&] { return messaging->hasServer(kService); })) << readFile(log);
        std::string path = UsageDatabase::defaultPath();
        auto stored = [&] {
            if (!fs::exists(path)) return Rows{};
            return queryRows(path,
                             "SELECT app, usage_wifi, usage_cellular, usage_unknown FROM usage "
                             "ORDER BY app, rowid");
        };

        // Counts come in on the collector's standard input and reach the database on "save";
        // the lines may still be on their way when a save arrives, so it is asked again.
        collector.send(
            "record org.example.A wifi 1000\nrecord org.example.A cellular 24\n"
            "record org.example.B unknown 7\nnonsense\n");
        Rows expected{{"org.example.A", "1000", "24", "0"}, {"org.example.B", "0", "0", "7"}};
        EXPECT_TRUE(eventually([&] {
            center->sendMessageName("save", std::nullopt);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            return stored() == expected;
        })) << readFile(log);
        EXPECT_TRUE(eventually([&] { return changed.count() >= 1; }))
            << "the change notification crosses to this process";

        // A call or a notification of the wrong shape is refused and everyone goes on.
        if (installed("dbus-send")) {
            SystemLog::takeCaptured();
            std::string call = std::string("dbus-send --session --type=method_call --dest=") +
                               kService +
                               " /org/bytarn/collector org.bytarn.collector.Message int32:5";
            std::string signal =
                "dbus-send --session --type=signal /org/bytarn/notifications "
                "org.bytarn.Notifications.Notify";
            EXPECT_EQ(std::system(call.c_str()), 0);
            EXPECT_EQ(std::system((signal + " int32:5").c_str()), 0);
            EXPECT_EQ(std::system(signal.c_str()), 0);
            std::vector<std::string> ignored;
            EXPECT_TRUE(eventually([&] {
                for (auto& line : SystemLog::takeCaptured())
                    if (line.find("ignoring a notification") != std::string::npos)
                        ignored.push_back(line);
                return ignored.size() == 2;
            }));
        }

        // This process's own post reaches its own observer once, though the bus echoes it.
        CFNotificationCenterPostNotification(CFNotificationCenterGetDarwinNotifyCenter(),
                                             "org.bytarn/Test", nullptr, nullptr, true);
        EXPECT_EQ(own.settledCount(), 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));

        int before = changed.count();
        center->sendMessageName("deleteApplication", CPDistributedMessagingCenter::UserInfo{
                                                         {"bundleIdentifier", "org.example.A"}});
        EXPECT_TRUE(eventually([&] {
            return stored() == Rows{{"org.example.B", "0", "0", "7"}};
        })) << readFile(log);
        EXPECT_TRUE(eventually([&] { return changed.count() > before; }));
        EXPECT_EQ(own.settledCount(), 1);
        EXPECT_TRUE(messaging->hasServer(kService)) << readFile(log);

        EXPECT_EQ(collector.stop(SIGTERM), 0) << readFile(log);
        EXPECT_FALSE(messaging->hasServer(kService)) << "the name goes with the process";
    }
    std::string output = readFile(log);
    EXPECT_NE(output.find("standard input line 4: unknown command \"nonsense\""), std::string::npos)
        << output;

    SystemLog::setEchoToStandardError(true);
    if (previousAddress)
        setenv("DBUS_SESSION_BUS_ADDRESS", savedAddress.c_str(), 1);
    else
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
}

}  // namespace
