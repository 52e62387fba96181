#pragma once

// Other processes that tests start: a private session bus and the collector daemon on it.

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

// Waits for a condition, checking every 10 ms, for at most `seconds`.
inline bool eventually(const std::function<bool()>& condition, double seconds = 10) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// Whether a program is on the PATH.
inline bool programInstalled(const std::string& program) {
    return std::system(("command -v " + program + " > /dev/null 2>&1").c_str()) == 0;
}

// A copy of a built program, and of the build tree's shared libraries it loads, in `directory`,
// for a test that runs it as another uid: that uid may not be able to enter the build tree (a
// checkout in a 0700 directory, as CI's is). The directory, which the caller removes, is made
// 0755 and must sit where every uid can reach it. Run the copy with LD_LIBRARY_PATH=`directory`:
// the loader searches that before the build tree's RUNPATH. Returns the copy's path, or nothing.
inline std::string copyForOtherUsers(const std::string& program,
                                     const std::filesystem::path& directory) {
    namespace fs = std::filesystem;
    std::error_code error;
    fs::create_directories(directory, error);
    fs::permissions(directory, fs::perms(0755), error);
    if (error) return "";
    std::vector<fs::path> files{program};
    // ldd's "name => /path (address)" lines; only the build tree's libraries need copying.
    if (FILE* ldd = popen(("ldd " + program + " 2>/dev/null").c_str(), "r")) {
        char line[1024];
        while (std::fgets(line, sizeof line, ldd)) {
            std::string_view text(line);
            auto arrow = text.find("=> " BYTARN_BINARY_DIR "/");
            if (arrow == std::string_view::npos) continue;
            auto path = text.substr(arrow + 3);
            files.emplace_back(path.substr(0, path.find(' ')));
        }
        pclose(ldd);
    }
    for (const auto& file : files) {
        auto copy = directory / file.filename();
        fs::copy_file(file, copy, fs::copy_options::overwrite_existing, error);
        fs::permissions(copy, fs::perms(0755), error);
        if (error) return "";
    }
    return (directory / fs::path(program).filename()).string();
}

// A dbus-daemon of our own, listening in a temporary directory, with no services to activate.
// Run by root for another uid, it runs as that uid (the directory must be writable by it), so
// that uid may connect.
class PrivateBus {
  public:
    explicit PrivateBus(const std::string& directory, int uid = -1) {
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
        std::string runAs = uid < 0 ? ""
                                    : "setpriv --reuid=" + std::to_string(uid) +
                                          " --regid=" + std::to_string(uid) + " --clear-groups ";
        std::string command = runAs + "dbus-daemon --config-file=" + config +
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

// `bytarn-collector run` as a child process on a given bus, its standard input a pipe that the
// test writes to and its standard error a log file. `environment` ("NAME=value") replaces those
// variables of the test's; a uid (when the test runs as root) is taken, with its gid, before the
// exec. `program` is the build tree's collector unless given (a copy for another uid).
class CollectorProcess {
  public:
    CollectorProcess(const std::vector<std::string>& arguments, const std::string& busAddress,
                     const std::string& logPath, const std::vector<std::string>& environment = {},
                     int uid = -1,
                     const std::string& program = BYTARN_BINARY_DIR "/bin/bytarn-collector") {
        // Everything the child needs is made before the fork: it only duplicates descriptors
        // and execs.
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        std::vector<std::string> variables = environment;
        variables.push_back("DBUS_SESSION_BUS_ADDRESS=" + busAddress);
        const std::size_t mine = variables.size();
        auto replaced = [&](std::string_view variable) {
            auto name = variable.substr(0, variable.find('=') + 1);
            for (std::size_t i = 0; i < mine; ++i)
                if (variables[i].rfind(name, 0) == 0) return true;
            return false;
        };
        for (char** variable = environ; *variable; ++variable)
            if (!replaced(*variable)) variables.emplace_back(*variable);
        std::vector<char*> envp;
        for (auto& variable : variables) envp.push_back(variable.data());
        envp.push_back(nullptr);
        // A collector that dies early makes writes to its input fail instead of killing the test.
        signal(SIGPIPE, SIG_IGN);
        int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        int fds[2];
        if (log < 0 || pipe2(fds, O_CLOEXEC) != 0) {
            if (log >= 0) close(log);
            return;
        }
        pid_ = fork();
        if (pid_ == 0) {
            dup2(fds[0], 0);
            dup2(log, 2);
            if (uid >= 0 && (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0))
                _exit(126);
            execve(argv[0], argv.data(), envp.data());
            _exit(127);
        }
        close(log);
        close(fds[0]);
        input_ = fds[1];
        if (pid_ < 0) closeInput();
    }
    ~CollectorProcess() {
        closeInput();
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    CollectorProcess(const CollectorProcess&) = delete;
    CollectorProcess& operator=(const CollectorProcess&) = delete;

    bool started() const { return pid_ > 0; }
    bool alive() {
        if (pid_ <= 0) return false;
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) != pid_) return true;
        pid_ = -1;
        return false;
    }

    // Writes all of the text to the collector's standard input.
    bool send(const std::string& text) {
        std::size_t sent = 0;
        while (sent < text.size()) {
            ssize_t n = write(input_, text.data() + sent, text.size() - sent);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            sent += static_cast<std::size_t>(n);
        }
        return true;
    }

    void closeInput() {
        if (input_ >= 0) close(input_);
        input_ = -1;
    }

    // Kills it at once and reaps it.
    void killNow() {
        if (pid_ <= 0) return;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

    // Sends the signal and waits for the exit status (-1 when it did not exit normally in time).
    int stop(int signal, double seconds = 20) {
        if (pid_ <= 0) return -1;
        kill(pid_, signal);
        int status = 0;
        bool exited = eventually([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, seconds);
        if (!exited) return -1;
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

  private:
    pid_t pid_ = -1;
    int input_ = -1;
};
