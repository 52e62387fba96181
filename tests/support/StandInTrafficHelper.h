#pragma once

// A stand-in for the traffic helper (bytarn-trafficd) on a Unix socket in the test's scratch
// home: one client at a time, driven step by step by the test, which sends the helper's lines
// (docs/TRAFFIC.md) itself. What the client sends is kept apart: acknowledgements (line()) and
// the restriction lines (takeRestrictionLines()), so a test of one is not disturbed by the other.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class StandInTrafficHelper {
  public:
    explicit StandInTrafficHelper(const std::string& path) {
        listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        unlink(path.c_str());
        listening_ = bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                     listen(listener_, 4) == 0;
    }
    ~StandInTrafficHelper() {
        drop();
        close(listener_);
    }
    StandInTrafficHelper(const StandInTrafficHelper&) = delete;
    StandInTrafficHelper& operator=(const StandInTrafficHelper&) = delete;

    bool listening() const { return listening_; }

    // Waits for the collector to connect.
    bool accept(double seconds = 5) {
        drop();
        pollfd ready{listener_, POLLIN, 0};
        if (poll(&ready, 1, static_cast<int>(seconds * 1000)) != 1) return false;
        client_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        input_.clear();
        lines_.clear();
        restrictions_.clear();
        return client_ >= 0;
    }
    void drop() {
        if (client_ >= 0) close(client_);
        client_ = -1;
    }

    void send(const std::string& text) {
        for (std::size_t sent = 0; sent < text.size();) {
            ssize_t n = ::send(client_, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
            ASSERT_GT(n, 0) << strerror(errno);
            sent += static_cast<std::size_t>(n);
        }
    }

    // The next line from the collector that is not a restriction line (an acknowledgement), or
    // nothing within the time.
    std::optional<std::string> line(double seconds = 5) {
        auto deadline = after(seconds);
        while (lines_.empty())
            if (!readSome(deadline)) return std::nullopt;
        std::string first = lines_.front();
        lines_.pop_front();
        return first;
    }
    // Reads lines until `wanted`; false when it does not come in time.
    bool acknowledged(const std::string& wanted) {
        while (auto got = line())
            if (*got == wanted) return true;
        return false;
    }

    // The restriction lines received since the last call, once there are at least `atLeast` of
    // them (or the time is up), and whatever else comes within a tenth of a second after.
    std::vector<std::string> takeRestrictionLines(std::size_t atLeast, double seconds = 5) {
        auto deadline = after(seconds);
        while (restrictions_.size() < atLeast && readSome(deadline)) {
        }
        auto settle = after(0.1);
        while (readSome(settle)) {
        }
        std::vector<std::string> taken;
        taken.swap(restrictions_);
        return taken;
    }

  private:
    static std::chrono::steady_clock::time_point after(double seconds) {
        return std::chrono::steady_clock::now() +
               std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                   std::chrono::duration<double>(seconds));
    }

    static bool isRestrictionLine(std::string_view line) {
        std::string_view keyword = line.substr(0, line.find(' '));
        for (std::string_view known :
             {"clear", "restrict", "allow", "exempt", "unexempt", "pause", "resume"})
            if (keyword == known) return true;
        return false;
    }

    // Reads what has come, sorting its whole lines; false when nothing came before the deadline.
    bool readSome(std::chrono::steady_clock::time_point deadline) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd ready{client_, POLLIN, 0};
        if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) != 1) return false;
        char buffer[4096];
        ssize_t n = recv(client_, buffer, sizeof buffer, 0);
        if (n <= 0) return false;
        input_.append(buffer, static_cast<std::size_t>(n));
        for (auto end = input_.find('\n'); end != std::string::npos; end = input_.find('\n')) {
            std::string line = input_.substr(0, end);
            input_.erase(0, end + 1);
            if (isRestrictionLine(line))
                restrictions_.push_back(std::move(line));
            else
                lines_.push_back(std::move(line));
        }
        return true;
    }

    int listener_ = -1;
    int client_ = -1;
    bool listening_ = false;
    std::string input_;
    std::deque<std::string> lines_;
    std::vector<std::string> restrictions_;
};
