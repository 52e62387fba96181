#include "collector/sources/HelperInterfacesQuery.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <variant>

namespace {

// An interfaces message of a few hundred interfaces takes a fraction of it.
constexpr std::size_t kMaxLineLength = 1 << 20;

bool fail(std::string* error, std::string why) {
    if (error) *error = std::move(why);
    return false;
}

struct Descriptor {
    int fd;
    ~Descriptor() {
        if (fd >= 0) close(fd);
    }
};

}  // namespace

std::optional<TrafficHelperInterfaces> queryHelperInterfaces(const std::string& socketPath,
                                                             double timeoutSeconds,
                                                             std::string* error) {
    const std::string where = "the traffic helper at " + socketPath;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.empty() || socketPath.size() >= sizeof address.sun_path) {
        fail(error, "the socket path is empty or longer than " +
                        std::to_string(sizeof address.sun_path - 1) + " bytes");
        return std::nullopt;
    }
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    Descriptor socket{::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    if (socket.fd < 0 ||
        connect(socket.fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        fail(error, where + " is unreachable: " + strerror(errno) +
                        " (is bytarn-trafficd running? systemctl status bytarn-trafficd)");
        return std::nullopt;
    }
    // Said at once, so that the helper reads it before it hands out its uid's place. A helper
    // that refused the connection has already sent the interfaces and closed it, so a failed
    // send is no failure: what was sent is read all the same.
    const char request[] = "interfaces\n";
    [[maybe_unused]] auto sent = send(socket.fd, request, sizeof request - 1, MSG_NOSIGNAL);

    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    std::string pending, refusal;
    bool greeted = false;
    char buffer[64 * 1024];
    for (;;) {
        for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
            std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            std::string why;
            auto message = parseTrafficHelperLine(line, &why);
            if (!message) {
                // A delta or a line of a later version may come first; only what this query
                // needs must be readable.
                continue;
            }
            if (auto* hello = std::get_if<TrafficHelperHello>(&*message)) {
                if (hello->version != kTrafficHelperProtocolVersion) {
                    fail(error, where + " speaks protocol version " +
                                    std::to_string(hello->version) + ", this bytarn version " +
                                    std::to_string(kTrafficHelperProtocolVersion));
                    return std::nullopt;
                }
                greeted = true;
            } else if (auto* list = std::get_if<TrafficHelperInterfaces>(&*message)) {
                if (greeted) return std::move(*list);
            } else if (auto* refused = std::get_if<TrafficHelperRefusal>(&*message)) {
                refusal = refused->reason;
            }
        }
        if (pending.size() > kMaxLineLength) {
            fail(error,
                 where + " sent a line longer than " + std::to_string(kMaxLineLength) + " bytes");
            return std::nullopt;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        pollfd entry{socket.fd, POLLIN, 0};
        int ready = left > 0 ? poll(&entry, 1, static_cast<int>(left)) : 0;
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) {
            fail(error, where + " did not tell its interfaces within " +
                            std::to_string(static_cast<int>(timeoutSeconds)) + " s");
            return std::nullopt;
        }
        ssize_t count = recv(socket.fd, buffer, sizeof buffer, 0);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) {
            fail(error, where + (refusal.empty() ? " closed the connection without its interfaces"
                                                 : " refused: " + refusal));
            return std::nullopt;
        }
        pending.append(buffer, static_cast<std::size_t>(count));
    }
}
