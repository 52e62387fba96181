// bytarn_traffic_sender: the traffic of `bench/traffic-bench` (make bench-traffic). Each mode
// first joins the network namespace and the cgroup it is given, so the traffic is that of an
// application scope inside the benchmark's own world, then prints one JSON object of what it did.
//
//   [--netns NAME] [--cgroup DIR] [--linger SECONDS] MODE ARGS...
//   sink-tcp PORT                    accept connections, each read to its end by a thread
//   sink-udp PORT                    bind and never read: datagrams die at a full receive buffer
//   tcp ADDRESS PORT SECONDS         one connection, 256 KiB writes for SECONDS
//   udp ADDRESS PORT SECONDS SIZE    SIZE-byte datagrams as fast as send() takes them
//   short ADDRESS PORT COUNT BYTES   COUNT connections in turn, BYTES each, each closed cleanly
//   tunnel TUN LOCAL REMOTE PORT     one end of a user-space VPN over UDP (see tunnelEnd)
//   connects ADDRESS PORT COUNT      COUNT TCP connects in turn, each closed at once; the
//                                    median time connect() took (established, or refused)
//   churn PARENT COUNT ADDRESS PORT BYTES
//                                    COUNT scopes made under PARENT in turn; in each a fresh
//                                    process sends one BYTES datagram and exits; the scope is
//                                    removed after it
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "bytarn_traffic_sender: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(1);
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void joinCgroup(const std::string& directory) {
    std::string procs = directory + "/cgroup.procs";
    int fd = open(procs.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) fail("open " + procs);
    std::string pid = std::to_string(getpid());
    if (write(fd, pid.data(), pid.size()) != ssize_t(pid.size())) fail("write " + procs);
    close(fd);
}

void joinNetns(const std::string& name) {
    std::string path = "/run/netns/" + name;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || setns(fd, CLONE_NEWNET) != 0) fail("join network namespace " + name);
    close(fd);
}

sockaddr_in addressOf(const char* address, const char* port) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(std::atoi(port)));
    if (inet_pton(AF_INET, address, &to.sin_addr) != 1) {
        errno = EINVAL;
        fail(std::string("address ") + address);
    }
    return to;
}

int connected(int type, const sockaddr_in& to) {
    int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0) fail("socket");
    if (connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) fail("connect");
    return fd;
}

int listening(int type, const char* port) {
    int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in any = addressOf("0.0.0.0", port);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) fail("bind");
    if (type == SOCK_STREAM && listen(fd, 64) != 0) fail("listen");
    return fd;
}

bool sendAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t sent = send(fd, data, size, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        data += sent;
        size -= size_t(sent);
    }
    return true;
}

int sinkTcp(const char* port) {
    int server = listening(SOCK_STREAM, port);
    for (;;) {
        int client = accept4(server, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) continue;
        // A thread each: the reconciliation's senders connect at once.
        std::thread([client] {
            std::vector<char> buffer(1 << 20);
            while (recv(client, buffer.data(), buffer.size(), 0) > 0) {
            }
            close(client);  // after the sender's FIN: its close completes cleanly
        }).detach();
    }
}

int sinkUdp(const char* port) {
    int fd = listening(SOCK_DGRAM, port);
    int small = 4096;  // full at once, so the sink costs nothing but the drop
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    for (;;) pause();
}

int sendTcp(const char* address, const char* port, double seconds) {
    int fd = connected(SOCK_STREAM, addressOf(address, port));
    std::vector<char> chunk(256 * 1024, 'b');
    uint64_t bytes = 0;
    auto start = Clock::now();
    while (secondsSince(start) < seconds) {
        if (!sendAll(fd, chunk.data(), chunk.size())) fail("send");
        bytes += chunk.size();
    }
    double elapsed = secondsSince(start);
    close(fd);
    std::printf("{\"bytes\":%llu,\"seconds\":%.6f}\n", static_cast<unsigned long long>(bytes),
                elapsed);
    return 0;
}

int sendUdp(const char* address, const char* port, double seconds, size_t size) {
    int fd = connected(SOCK_DGRAM, addressOf(address, port));
    std::vector<char> datagram(size, 'u');
    uint64_t packets = 0, refused = 0;
    auto start = Clock::now();
    double elapsed = 0;
    for (;;) {
        for (int i = 0; i < 4096; ++i) {
            if (send(fd, datagram.data(), datagram.size(), 0) == ssize_t(size))
                ++packets;
            else
                ++refused;  // a full device queue (ENOBUFS): not sent
        }
        if ((elapsed = secondsSince(start)) >= seconds) break;
    }
    close(fd);
    std::printf("{\"packets\":%llu,\"refused\":%llu,\"seconds\":%.6f}\n",
                static_cast<unsigned long long>(packets), static_cast<unsigned long long>(refused),
                elapsed);
    return 0;
}

int sendShort(const char* address, const char* port, int count, size_t size) {
    auto to = addressOf(address, port);
    std::vector<char> payload(size, 's');
    uint64_t bytes = 0;
    auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        int fd = connected(SOCK_STREAM, to);
        if (!sendAll(fd, payload.data(), payload.size())) fail("send");
        shutdown(fd, SHUT_WR);
        char ignored[64];
        while (recv(fd, ignored, sizeof ignored, 0) > 0) {
        }  // the peer's FIN: everything was received
        close(fd);
        bytes += size;
    }
    std::printf("{\"bytes\":%llu,\"connections\":%d,\"seconds\":%.6f}\n",
                static_cast<unsigned long long>(bytes), count, secondsSince(start));
    return 0;
}

int sendConnects(const char* address, const char* port, int count) {
    auto to = addressOf(address, port);
    int refused = 0, established = 0;
    std::vector<double> took;
    for (int i = 0; i < count; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) fail("socket");
        auto start = Clock::now();
        int result = connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        took.push_back(secondsSince(start));
        if (result == 0)
            ++established;
        else if (errno == EPERM)
            ++refused;
        else
            fail("connect");
        // Reset rather than close: no TIME_WAIT left behind for thousands of connections.
        linger reset{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        close(fd);
    }
    // The median: a connect whose SYN waits for a retransmission would swamp a mean.
    std::sort(took.begin(), took.end());
    std::printf("{\"connects\":%d,\"established\":%d,\"refused\":%d,\"ns_per_connect\":%.1f}\n",
                count, established, refused, took.empty() ? 0.0 : took[took.size() / 2] * 1e9);
    return 0;
}

int churn(const std::string& parent, int count, const char* address, const char* port,
          size_t size) {
    auto to = addressOf(address, port);
    std::vector<char> datagram(size, 'c');
    int failed = 0;
    auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        std::string scope =
            parent + "/app-bench-org.bytarn.ChurnSender-" + std::to_string(i) + ".scope";
        if (mkdir(scope.c_str(), 0755) != 0) fail("mkdir " + scope);
        pid_t child = fork();
        if (child < 0) fail("fork");
        if (child == 0) {
            joinCgroup(scope);
            int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            bool sent = fd >= 0 &&
                        sendto(fd, datagram.data(), datagram.size(), 0,
                               reinterpret_cast<const sockaddr*>(&to), sizeof to) == ssize_t(size);
            _exit(sent ? 0 : 1);
        }
        int status = 0;
        waitpid(child, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) ++failed;
        // The exited child may leave the scope a moment after waitpid returns.
        for (int attempt = 0; rmdir(scope.c_str()) != 0; ++attempt) {
            if (errno != EBUSY || attempt == 1000) fail("rmdir " + scope);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }
    std::printf("{\"scopes\":%d,\"failed\":%d,\"bytes\":%llu,\"seconds\":%.6f}\n", count, failed,
                static_cast<unsigned long long>(size) * (count - failed), secondsSince(start));
    return failed == 0 ? 0 : 1;
}

// One end of a user-space VPN: holds the tun device (made beforehand by `ip tuntap add`) and
// carries each packet routed into it to REMOTE:PORT as one UDP datagram from LOCAL:PORT, and
// each datagram that arrives back into the device. Runs until killed.
[[noreturn]] void tunnelEnd(const char* tun, const char* local, const char* remote,
                            const char* port) {
    int device = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
    ifreq request{};
    request.ifr_flags = IFF_TUN | IFF_NO_PI;
    std::strncpy(request.ifr_name, tun, IFNAMSIZ - 1);
    if (device < 0 || ioctl(device, TUNSETIFF, &request) != 0) fail(std::string("attach ") + tun);
    int carrier = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    auto here = addressOf(local, port), there = addressOf(remote, port);
    int buffer = 4 << 20;
    setsockopt(carrier, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    setsockopt(carrier, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
    if (bind(carrier, reinterpret_cast<sockaddr*>(&here), sizeof here) != 0) fail("bind");
    if (connect(carrier, reinterpret_cast<sockaddr*>(&there), sizeof there) != 0) fail("connect");
    std::vector<char> packet(1 << 16);
    pollfd both[2] = {{device, POLLIN, 0}, {carrier, POLLIN, 0}};
    for (;;) {
        if (poll(both, 2, -1) < 0) continue;
        if (both[0].revents & POLLIN) {
            ssize_t size = read(device, packet.data(), packet.size());
            if (size > 0) send(carrier, packet.data(), size_t(size), 0);
        }
        if (both[1].revents & POLLIN) {
            ssize_t size = recv(carrier, packet.data(), packet.size(), 0);
            if (size > 0 && write(device, packet.data(), size_t(size)) < 0) continue;
        }
    }
}

[[noreturn]] void usage() {
    std::fprintf(stderr,
                 "usage: bytarn_traffic_sender [--netns NAME] [--cgroup DIR] [--linger SECONDS] "
                 "sink-tcp|sink-udp|tcp|udp|short|connects|churn|tunnel ARGS... (see "
                 "bench/TrafficSender.cpp)\n");
    std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    size_t at = 0;
    double linger = 0;
    for (; at + 1 < args.size() && args[at].starts_with("--"); at += 2) {
        if (args[at] == "--netns")
            joinNetns(args[at + 1]);
        else if (args[at] == "--cgroup")
            joinCgroup(args[at + 1]);
        else if (args[at] == "--linger")
            linger = std::atof(args[at + 1].c_str());
        else
            usage();
    }
    if (at >= args.size()) usage();
    const std::string& mode = args[at];
    auto need = [&](size_t count) {
        if (args.size() - at - 1 != count) usage();
    };
    char** rest = argv + 1 + at + 1;
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    int status = 0;
    if (mode == "sink-tcp") {
        need(1);
        return sinkTcp(rest[0]);
    } else if (mode == "sink-udp") {
        need(1);
        return sinkUdp(rest[0]);
    } else if (mode == "tcp") {
        need(3);
        status = sendTcp(rest[0], rest[1], std::atof(rest[2]));
    } else if (mode == "udp") {
        need(4);
        status = sendUdp(rest[0], rest[1], std::atof(rest[2]), std::strtoul(rest[3], nullptr, 10));
    } else if (mode == "short") {
        need(4);
        status =
            sendShort(rest[0], rest[1], std::atoi(rest[2]), std::strtoul(rest[3], nullptr, 10));
    } else if (mode == "churn") {
        need(5);
        status = churn(rest[0], std::atoi(rest[1]), rest[2], rest[3],
                       std::strtoul(rest[4], nullptr, 10));
    } else if (mode == "connects") {
        need(3);
        status = sendConnects(rest[0], rest[1], std::atoi(rest[2]));
    } else if (mode == "tunnel") {
        need(4);
        tunnelEnd(rest[0], rest[1], rest[2], rest[3]);
    } else {
        usage();
    }
    // A per-process monitor forgets a program once it exits: stay a moment so it reports it.
    if (linger > 0) std::this_thread::sleep_for(std::chrono::duration<double>(linger));
    return status;
}
