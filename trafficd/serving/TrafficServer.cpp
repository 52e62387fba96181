#include "trafficd/serving/TrafficServer.h"

#include "trafficd/Log.h"
#include "trafficd/serving/LineFormat.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <utility>

namespace bytarn::trafficd {

namespace {

constexpr size_t maxLine = 64;  // an acknowledgement
// Any line: the restriction lines are the longest.
constexpr size_t maxAnyLine = maxRestrictionLineBytes;
constexpr size_t outputHighWater = 64 * 1024;

void setNonBlocking(int fd) {
    int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
}

}  // namespace

int TrafficServer::listeningSocket(const std::filesystem::path& path) {
    const char* listenPid = std::getenv("LISTEN_PID");
    const char* listenFds = std::getenv("LISTEN_FDS");
    if (listenPid && listenFds && std::strtol(listenPid, nullptr, 10) == ::getpid() &&
        std::strtol(listenFds, nullptr, 10) >= 1) {
        ::unsetenv("LISTEN_PID");
        ::unsetenv("LISTEN_FDS");
        ::unsetenv("LISTEN_FDNAMES");
        setNonBlocking(3);
        logLine("serving on the socket systemd passed");
        return 3;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.string().size() >= sizeof address.sun_path)
        throw std::runtime_error("socket path too long: " + path.string());
    std::strcpy(address.sun_path, path.c_str());
    std::error_code error;
    std::filesystem::create_directories(path.parent_path(), error);
    if (error)
        throw std::runtime_error("cannot create " + path.parent_path().string() + ": " +
                                 error.message());
    struct stat status {};
    if (::lstat(path.c_str(), &status) == 0) {
        if (!S_ISSOCK(status.st_mode))
            throw std::runtime_error(path.string() +
                                     " exists and is not a socket; not replacing it");
        // Only a stale socket is replaced: one that a helper still serves stays its own (two
        // helpers would each attach their programs and count everything twice).
        refuseIfServed(path);
        ::unlink(path.c_str());
    }
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    // The socket is made with its mode (0666: every user's collector connects) rather than
    // changed after bind: chmod on the path would follow a symlink put there meanwhile.
    mode_t oldMask = ::umask(0111);
    bool bound = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    int bindError = errno;
    ::umask(oldMask);
    if (!bound || ::listen(fd, 16) != 0) {
        std::string reason = std::strerror(bound ? errno : bindError);
        if (fd >= 0) ::close(fd);
        throw std::runtime_error("cannot listen on " + path.string() + ": " + reason);
    }
    logLine("serving on " + path.string());
    return fd;
}

void TrafficServer::refuseIfServed(const std::filesystem::path& path) {
    const char* listenPid = std::getenv("LISTEN_PID");
    if (listenPid && std::strtol(listenPid, nullptr, 10) == ::getpid()) return;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.string().size() >= sizeof address.sun_path) return;  // listeningSocket says why
    std::strcpy(address.sun_path, path.c_str());
    // Non-blocking: a live helper with a full backlog answers EAGAIN rather than hold us.
    int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    bool live = probe >= 0 &&
                (::connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 ||
                 errno == EAGAIN);
    if (probe >= 0) ::close(probe);
    if (live)
        throw std::runtime_error("another bytarn-trafficd is serving on " + path.string() +
                                 "; not starting a second one");
}

TrafficServer::TrafficServer(int listenFd, DeltaLedger& ledger)
    : listenFd_(listenFd), ledger_(ledger) {}

TrafficServer::~TrafficServer() {
    for (auto& [fd, client] : clients_) ::close(fd);
    ::close(listenFd_);
}

std::vector<pollfd> TrafficServer::pollSet() const {
    std::vector<pollfd> set{{listenFd_, POLLIN, 0}};
    for (const auto& [fd, client] : clients_) {
        short events = client.closing ? 0 : POLLIN;
        if (!client.output.empty()) events |= POLLOUT;
        set.push_back({fd, events, 0});
    }
    return set;
}

void TrafficServer::handle(const std::vector<pollfd>& ready) {
    // Clients first: a collector that reconnects right after closing must find its old
    // connection already gone, not be refused as a second client.
    bool listenerReady = false;
    for (const auto& entry : ready) {
        if (entry.revents == 0) continue;
        if (entry.fd == listenFd_) {
            listenerReady = true;
            continue;
        }
        auto found = clients_.find(entry.fd);
        if (found == clients_.end()) continue;
        auto& client = found->second;
        bool keep = true;
        if (entry.revents & (POLLIN | POLLHUP | POLLERR)) keep = readFrom(client);
        if (keep && (entry.revents & POLLOUT || !client.output.empty())) keep = writeTo(client);
        if (!keep) close(client);
    }
    if (listenerReady) accept();
}

void TrafficServer::offerDeltas() {
    clientLog_.flush();
    std::vector<int> broken;
    for (auto& [fd, client] : clients_) {
        fill(client);
        if (!writeTo(client)) broken.push_back(fd);
    }
    for (int fd : broken) close(clients_.at(fd));
}

void TrafficServer::offerInterfaces(const std::vector<Interface>& interfaces) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const auto& interface : interfaces)
        list.push_back({{"name", interface.name},
                        {"index", interface.ifindex},
                        {"kind", interface.kind},
                        {"reason", interface.reason}});
    interfacesLine_ = jsonLine({{"interfaces", list}});
    std::vector<int> broken;
    for (auto& [fd, client] : clients_) {
        if (client.closing) continue;
        // A watcher that reads nothing would make the helper hold every list it was sent.
        if (client.output.size() > outputHighWater) {
            clientLog_.write(client.uid, "watchers that read nothing",
                             "client of uid " + std::to_string(client.uid) +
                                 " reads nothing of what it is sent; closing its connection");
            broken.push_back(fd);
            continue;
        }
        client.output += interfacesLine_;
        if (!writeTo(client)) broken.push_back(fd);
    }
    for (int fd : broken) close(clients_.at(fd));
}

std::set<uid_t> TrafficServer::clientUids() const {
    std::set<uid_t> uids;
    for (const auto& [fd, client] : clients_)
        if (!client.watching && !client.closing) uids.insert(client.uid);
    return uids;
}

size_t TrafficServer::watchersOf(uid_t uid) const {
    size_t count = 0;
    for (const auto& [fd, client] : clients_)
        if (client.uid == uid && client.watching && !client.closing) ++count;
    return count;
}

bool TrafficServer::clientsWaiting(const std::vector<pollfd>& ready) const {
    for (const auto& entry : ready)
        if (entry.fd == listenFd_ && entry.revents) return true;
    return false;
}

void TrafficServer::accept() {
    for (;;) {
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                logLine(std::string("accepting a client: ") + std::strerror(errno));
            return;
        }
        ucred credentials{};
        socklen_t length = sizeof credentials;
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) {
            logLine(std::string("cannot learn a client's uid: ") + std::strerror(errno));
            ::close(fd);
            continue;
        }
        Client client{fd, credentials.uid, {}, {}, 0, false, false, false, false, {}};
        // A client that asks for the interfaces only says so right after connecting: read it
        // now, so that it neither takes its uid's place nor is sent deltas.
        if (!readFrom(client)) {
            ::close(fd);
            continue;
        }
        auto hello = jsonLine({{"hello", "bytarn-trafficd"},
                               {"version", protocolVersion},
                               {"uid", client.uid},
                               {"epoch", ledger_.epoch()}});
        // A same-uid client that hung up since the last poll is closed now, not counted.
        bool taken = false;
        for (auto it = clients_.begin(); it != clients_.end() && !client.watching;) {
            auto next = std::next(it);
            auto& other = it->second;
            if (other.uid == client.uid && !other.closing && !other.watching) {
                if (!readFrom(other))
                    close(other);
                else if (!other.watching)  // it may have just asked for the interfaces only
                    taken = true;
            }
            it = next;
        }
        if (taken) {
            clientLog_.write(client.uid, "refusals of a second client",
                             "refusing a second client of uid " + std::to_string(client.uid) +
                                 " (pid " + std::to_string(credentials.pid) + ")");
            // The interfaces still go out: a query that lost the race for its uid's place is
            // answered all the same.
            client.output = hello + interfacesLine_ +
                            jsonLine({{"error", "another client of uid " +
                                                    std::to_string(client.uid) + " is connected"}});
            client.closing = true;
        } else {
            clientLog_.write(client.uid, "connections",
                             "client of uid " + std::to_string(client.uid) +
                                 (client.watching ? " watching the interfaces" : "") +
                                 " connected (pid " + std::to_string(credentials.pid) + ")");
            client.output = hello + interfacesLine_ + client.output;
            client.admitted = true;
            for (const auto& line : std::exchange(client.pending, {}))
                if (!client.closing) handleRestriction(client, line);
            fill(client);
        }
        auto& stored = clients_.emplace(fd, std::move(client)).first->second;
        if (!writeTo(stored)) close(stored);
    }
}

void TrafficServer::fill(Client& client) {
    if (client.closing || client.watching) return;
    while (client.output.size() < outputHighWater &&
           ledger_.sentOutstanding(client.uid, client.lastSent) < window) {
        const Delta* delta = ledger_.takeAfter(client.uid, client.lastSent);
        if (!delta) return;
        client.output += deltaLine(ledger_.epoch(), *delta);
        client.lastSent = delta->seq;
    }
}

bool TrafficServer::readFrom(Client& client) {
    char buffer[512];
    for (;;) {
        ssize_t count = ::recv(client.fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (count == 0) return false;
        if (count < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        if (client.closing) continue;  // only flushing the refusal
        client.input.append(buffer, count);
        for (auto end = client.input.find('\n'); end != std::string::npos && !client.closing;
             end = client.input.find('\n')) {
            std::string line = client.input.substr(0, end);
            client.input.erase(0, end + 1);
            if (!handleLine(client, line)) return false;
        }
        // Only a restriction line may be longer than an acknowledgement.
        if (client.input.size() > maxAnyLine ||
            (client.input.size() > maxLine && !isRestrictionLine(client.input))) {
            clientLog_.write(client.uid, "lines too long",
                             "client of uid " + std::to_string(client.uid) +
                                 " sent a line too long (" + std::to_string(client.input.size()) +
                                 " bytes without its end); closing its connection");
            refuse(client, "line too long");
            client.input.clear();
            return true;
        }
    }
}

bool TrafficServer::handleLine(Client& client, const std::string& line) {
    auto who = "client of uid " + std::to_string(client.uid);
    auto fail = [&] {
        clientLog_.write(client.uid, "bad lines",
                         who + " sent \"" + printable(line, maxLine) +
                             "\", not \"ack EPOCH SEQ\"; closing its connection");
        refuse(client, "not a line of the protocol");
        return true;
    };
    // "interfaces" as the first line: the connection watches the interfaces and takes no deltas
    // (any it was sent before are not acknowledged, so they go to the next collector).
    if (line == "interfaces" && !std::exchange(client.spoke, true)) {
        if (watchersOf(client.uid) >= watchersPerUid) {
            clientLog_.write(client.uid, "watchers over the limit",
                             who + ": " + std::to_string(watchersPerUid) +
                                 " of its connections already watch the interfaces; closing "
                                 "this one");
            return false;
        }
        client.watching = true;
        return true;
    }
    client.spoke = true;
    if (isRestrictionLine(line)) return handleRestriction(client, line);
    if (client.watching) return fail();
    if (line.size() > maxLine || !line.starts_with("ack ")) return fail();
    auto space = line.find(' ', 4);
    if (space == std::string::npos || space == 4 || space + 1 == line.size()) return fail();
    std::string epoch = line.substr(4, space - 4), digits = line.substr(space + 1);
    if (digits.size() > 19 || digits.find_first_not_of("0123456789") != std::string::npos)
        return fail();
    uint64_t seq = std::stoull(digits);
    if (!ledger_.acknowledge(client.uid, epoch, seq)) {
        clientLog_.write(client.uid, "acknowledgements of deltas never sent",
                         who + " acknowledged " + printable(epoch) + " " + digits +
                             ", which was never sent (epoch " + ledger_.epoch() + "); ignored");
        return true;
    }
    fill(client);  // the window may have opened
    return true;
}

bool TrafficServer::handleRestriction(Client& client, const std::string& line) {
    auto who = "client of uid " + std::to_string(client.uid);
    if (!client.admitted) {
        // Bounded by what one read takes: the socket's buffer at most.
        client.pending.push_back(line);
        return true;
    }
    std::string why;
    auto parsed = parseRestrictionLine(line, &why);
    if (parsed && client.watching)
        why = "a connection that watches the interfaces restricts nothing";
    if (parsed && why.empty()) {
        auto answer = restrictionHandler_ ? restrictionHandler_(client.uid, *parsed)
                                          : RestrictionAnswer{"restrictions are not enforced", {}};
        why = answer.refusal;
        if (why.empty()) {
            if (!answer.change.empty())
                clientLog_.write(client.uid, "restriction changes",
                                 "uid " + std::to_string(client.uid) + " " + answer.change);
            return true;
        }
    }
    clientLog_.write(client.uid, "refused restriction lines",
                     who + " sent \"" + printable(line, 80) + "\", refused: " + why +
                         "; closing its connection");
    refuse(client, why);
    return true;
}

void TrafficServer::refuse(Client& client, const std::string& reason) {
    // Said, then closed once written; what else it sends meanwhile is read and dropped.
    client.output += jsonLine({{"error", reason}});
    client.closing = true;
}

bool TrafficServer::writeTo(Client& client) {
    while (!client.output.empty()) {
        ssize_t count = ::send(client.fd, client.output.data(), client.output.size(),
                               MSG_DONTWAIT | MSG_NOSIGNAL);
        if (count < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        client.output.erase(0, count);
        if (client.output.empty()) fill(client);
    }
    return !client.closing;
}

void TrafficServer::close(Client& client) {
    if (!client.closing)
        clientLog_.write(client.uid, "disconnections",
                         "client of uid " + std::to_string(client.uid) + " disconnected");
    int fd = client.fd;
    ::close(fd);
    clients_.erase(fd);
}

}  // namespace bytarn::trafficd
