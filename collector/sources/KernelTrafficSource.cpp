#include "collector/sources/KernelTrafficSource.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <variant>

#include "collector/UsageCollector.h"
#include "collector/sources/TrafficHelperLine.h"
#include "host/foundation/SystemLog.h"

namespace {

int milliseconds(double seconds) {
    return std::max(1, static_cast<int>(seconds * 1000));
}

}  // namespace

// What one connection to the helper has seen.
struct KernelTrafficSource::Connection {
    int fd = -1;
    std::optional<std::string> epoch;  // from the hello
    bool announced = false;            // "connected" is logged
    std::int64_t receivedSeq = 0;      // the highest seq of the epoch received on it
    std::int64_t acknowledgedSeq = 0;  // the highest seq acknowledged on it
    std::string outgoing;              // lines queued for the helper, not yet taken by the socket
    std::optional<HelperRestrictions> sentRestrictions;  // what the helper has of them
};

KernelTrafficSource::KernelTrafficSource(UsageCollector& collector, std::string socketPath,
                                         double retryInterval)
    : collector_(collector), socketPath_(std::move(socketPath)), retryInterval_(retryInterval) {}

KernelTrafficSource::~KernelTrafficSource() {
    // First, so that no save calls into a source that is going away.
    collector_.followProgress(kProgressName, nullptr);
    stop();
    if (wakeFd_ >= 0) close(wakeFd_);
}

bool KernelTrafficSource::start() {
    if (thread_.joinable()) return true;
    if (wakeFd_ < 0) wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) {
        SystemLog::writef("bytarn-collector: cannot read the traffic helper at %s: eventfd: %s",
                          socketPath_.c_str(), strerror(errno));
        return false;
    }
    stopping_ = false;
    collector_.followProgress(kProgressName, [this](const SourceProgress& progress) {
        {
            std::lock_guard lock(committedMutex_);
            committed_ = progress;
        }
        wake();
    });
    thread_ = std::thread([this] { run(); });
    return true;
}

void KernelTrafficSource::stop() {
    stopping_ = true;
    wake();
    if (thread_.joinable()) thread_.join();
}

void KernelTrafficSource::setRestrictions(HelperRestrictions restrictions) {
    {
        std::lock_guard lock(restrictionsMutex_);
        restrictions_ = std::move(restrictions);
    }
    wake();
}

void KernelTrafficSource::wake() {
    if (wakeFd_ < 0) return;
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t written = write(wakeFd_, &one, sizeof one);
}

void KernelTrafficSource::drainWake() {
    std::uint64_t count = 0;
    [[maybe_unused]] ssize_t got = read(wakeFd_, &count, sizeof count);
}

bool KernelTrafficSource::pause() {
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(retryInterval_);
    while (!stopping_) {
        auto left = std::chrono::duration<double>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return true;
        pollfd wakeUp{wakeFd_, POLLIN, 0};
        if (poll(&wakeUp, 1, milliseconds(left.count())) > 0) drainWake();
    }
    return false;
}

void KernelTrafficSource::note(const std::string& line) {
    if (line == lastNote_) return;
    lastNote_ = line;
    SystemLog::write(line);
}

void KernelTrafficSource::noteUnreachable(const std::string& reason) {
    note("bytarn-collector: traffic helper at " + socketPath_ + " unreachable: " + reason +
         "; retrying");
}

void KernelTrafficSource::noteConnected(Connection& connection) {
    if (connection.announced) return;
    connection.announced = true;
    connected_ = true;
    note("bytarn-collector: connected to the traffic helper at " + socketPath_);
}

void KernelTrafficSource::run() {
    while (!stopping_) {
        if (!progressLoaded_) {
            // What an earlier collector saved must be known before any delta comes in, or one
            // it counted but could not acknowledge would be counted again.
            try {
                countedProgress_ = collector_.savedProgress(kProgressName);
                std::lock_guard lock(committedMutex_);
                if (!committed_) committed_ = countedProgress_;
                progressLoaded_ = true;
            } catch (const std::exception& error) {
                note("bytarn-collector: cannot read the traffic source's progress from " +
                     collector_.databasePath() + ": " + error.what() +
                     "; not connecting to the traffic helper at " + socketPath_ +
                     " until it can; retrying");
                pause();
                continue;
            }
        }

        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (socketPath_.empty() || socketPath_.size() >= sizeof address.sun_path) {
            noteUnreachable("the socket path is empty or longer than " +
                            std::to_string(sizeof address.sun_path - 1) + " bytes");
            pause();
            continue;
        }
        std::memcpy(address.sun_path, socketPath_.c_str(), socketPath_.size() + 1);
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            noteUnreachable(std::string("socket: ") + strerror(errno));
            pause();
            continue;
        }
        if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            int error = errno;
            close(fd);
            noteUnreachable(strerror(error));
            pause();
            continue;
        }
        std::string reason = serve(fd);
        close(fd);
        connected_ = false;
        if (stopping_) break;
        noteUnreachable(reason);
        pause();
    }
}

std::string KernelTrafficSource::serve(int fd) {
    Connection connection;
    connection.fd = fd;
    std::string pending;
    bool skipping = false;  // inside a line that was too long, up to its end
    std::vector<char> buffer(64 * 1024);
    while (!stopping_) {
        const short events = connection.outgoing.empty() ? POLLIN : POLLIN | POLLOUT;
        pollfd fds[2] = {{fd, events, 0}, {wakeFd_, POLLIN, 0}};
        // A helper that refuses does so right after its hello; "connected" is logged once the
        // connection has lasted a moment or brought a delta, so a refusal repeated at every
        // retry logs nothing new.
        int timeout =
            connection.epoch && !connection.announced ? milliseconds(retryInterval_ / 4) : -1;
        int ready = poll(fds, 2, timeout);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return std::string("poll: ") + strerror(errno);
        }
        if (ready == 0) {
            noteConnected(connection);
            continue;
        }
        if (fds[1].revents & POLLIN) {
            drainWake();
            acknowledge(connection);
            sendRestrictions(connection);
            if (stopping_) break;
        }
        if (fds[0].revents & POLLOUT) flush(connection);
        if (!(fds[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        ssize_t count = recv(fd, buffer.data(), buffer.size(), 0);
        if (count < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return strerror(errno);
        }
        if (count == 0) return "the helper closed the connection";
        std::string_view chunk(buffer.data(), static_cast<std::size_t>(count));
        while (!chunk.empty()) {
            std::size_t newline = chunk.find('\n');
            if (!skipping) pending.append(chunk.substr(0, newline));
            if (!skipping && pending.size() > kMaxLineLength) {
                ++rejected_;
                SystemLog::writef(
                    "bytarn-collector: the traffic helper at %s sent a line longer than %zu "
                    "bytes; skipped",
                    socketPath_.c_str(), kMaxLineLength);
                pending.clear();
                skipping = true;
            }
            if (newline == std::string_view::npos) break;
            if (!skipping) {
                if (auto end = handleLine(connection, pending)) return *end;
            }
            skipping = false;
            pending.clear();
            chunk.remove_prefix(newline + 1);
        }
    }
    // A save that committed just before the stop is acknowledged on the way out.
    acknowledge(connection);
    return "";
}

std::optional<std::string> KernelTrafficSource::handleLine(Connection& connection,
                                                           std::string_view line) {
    std::string error;
    auto message = parseTrafficHelperLine(line, &error);
    auto reject = [&](const std::string& why) {
        ++rejected_;
        SystemLog::writef(
            "bytarn-collector: the traffic helper at %s sent a bad line (%s): %s; "
            "skipped",
            socketPath_.c_str(), why.c_str(), printableExcerpt(line).c_str());
    };
    if (!message) {
        reject(error);
        return std::nullopt;
    }
    if (auto* refusal = std::get_if<TrafficHelperRefusal>(&*message))
        return "refused: " + refusal->reason;
    if (auto* hello = std::get_if<TrafficHelperHello>(&*message)) {
        if (connection.epoch) {
            reject("a second hello");
            return std::nullopt;
        }
        if (hello->version != kTrafficHelperProtocolVersion)
            return "it speaks protocol version " + std::to_string(hello->version) +
                   ", this collector version " + std::to_string(kTrafficHelperProtocolVersion);
        if (hello->uid != static_cast<std::int64_t>(geteuid()))
            return "it serves uid " + std::to_string(hello->uid) + ", not this user's uid " +
                   std::to_string(geteuid());
        connection.epoch = hello->epoch;
        sendRestrictions(connection);
        return std::nullopt;
    }
    if (std::holds_alternative<TrafficHelperInterfaces>(*message))
        return std::nullopt;  // which network counts as what is for `bytarn networks`
    auto& delta = std::get<TrafficDelta>(*message);
    if (!connection.epoch) return std::string("it sent a delta before its hello");
    if (delta.epoch != *connection.epoch) {
        reject("epoch " + delta.epoch + " differs from the hello's " + *connection.epoch);
        return std::nullopt;
    }
    handleDelta(connection, delta);
    return std::nullopt;
}

void KernelTrafficSource::noteSkipped(const TrafficDelta& delta) {
    // Enough names to tell what went wrong, bounded against a helper that sends endless ones.
    constexpr std::size_t kMostNamesLogged = 1000;
    for (const auto& entry : delta.skipped) {
        ++skipped_;
        if (skippedNamesLogged_.size() > kMostNamesLogged ||
            !skippedNamesLogged_.insert(entry.app).second)
            continue;
        if (skippedNamesLogged_.size() > kMostNamesLogged) {
            SystemLog::writef(
                "bytarn-collector: the traffic helper at %s sent usage entries of more than %zu "
                "names that cannot be counted; skipping them without further lines",
                socketPath_.c_str(), kMostNamesLogged);
            continue;
        }
        SystemLog::writef(
            "bytarn-collector: the traffic helper at %s sent a usage entry that cannot be "
            "counted (%s) in delta %s %lld: %s; skipped it, and counted the rest",
            socketPath_.c_str(), printableExcerpt(entry.reason).c_str(), delta.epoch.c_str(),
            static_cast<long long>(delta.seq), printableExcerpt(entry.app, 80).c_str());
    }
}

void KernelTrafficSource::handleDelta(Connection& connection, TrafficDelta& delta) {
    noteConnected(connection);
    connection.receivedSeq = std::max(connection.receivedSeq, delta.seq);
    if (countedProgress_ && countedProgress_->covers(delta.epoch, delta.seq)) {
        // Counted before: acknowledged once the save that holds it has committed (it may
        // have already), never counted again.
        ++resent_;
    } else {
        noteSkipped(delta);
        SourceProgress progress{delta.epoch, delta.seq};
        collector_.recordDelta(kProgressName, progress, static_cast<double>(delta.time),
                               delta.usage);
        countedProgress_ = std::move(progress);
        ++counted_;
    }
    acknowledge(connection);
}

void KernelTrafficSource::acknowledge(Connection& connection) {
    if (!connection.epoch) return;
    std::optional<SourceProgress> committed;
    {
        std::lock_guard lock(committedMutex_);
        committed = committed_;
    }
    if (!committed || committed->epoch != *connection.epoch) return;
    // Only what this connection has received: the helper has no use for more.
    std::int64_t seq = std::min(committed->seq, connection.receivedSeq);
    if (seq <= connection.acknowledgedSeq) return;
    connection.outgoing += "ack " + committed->epoch + " " + std::to_string(seq) + "\n";
    connection.acknowledgedSeq = seq;
    flush(connection);
}

void KernelTrafficSource::sendRestrictions(Connection& connection) {
    // Only to a helper whose hello said it takes them.
    if (!connection.epoch) return;
    HelperRestrictions wanted;
    {
        std::lock_guard lock(restrictionsMutex_);
        wanted = restrictions_;
    }
    connection.outgoing += connection.sentRestrictions
                               ? restrictionLines(*connection.sentRestrictions, wanted)
                               : restrictionLinesOnConnecting(wanted);
    connection.sentRestrictions = std::move(wanted);
    flush(connection);
}

void KernelTrafficSource::flush(Connection& connection) {
    while (!connection.outgoing.empty()) {
        ssize_t sent = send(connection.fd, connection.outgoing.data(), connection.outgoing.size(),
                            MSG_NOSIGNAL | MSG_DONTWAIT);
        // A full buffer waits for POLLOUT; a broken connection is seen by the reading side.
        if (sent <= 0) return;
        connection.outgoing.erase(0, static_cast<std::size_t>(sent));
    }
}
