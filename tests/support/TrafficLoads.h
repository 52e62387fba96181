#pragma once

// What the processes of a TrafficWorld do: servers that take whatever comes, senders of a known
// number of bytes, and the two ends of a small user-space VPN. Each runs in a child of
// TrafficWorld::spawnIn, so it may block for good; a sender returns whether it did it all.

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace traffic_loads {

inline sockaddr_in socketAddress(const std::string& address, int port) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address.c_str(), &to.sin_addr);
    return to;
}

inline int boundSocket(int type, const std::string& address, int port) {
    int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    auto at = socketAddress(address, port);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) _exit(121);
    return fd;
}

// Accepts connections on address:port, each read to its end by a thread of its own and then
// closed: the sender's close completes cleanly, with no reset. Never returns.
[[noreturn]] inline void serveTcp(const std::string& address, int port) {
    int server = boundSocket(SOCK_STREAM, address, port);
    if (listen(server, 128) != 0) _exit(122);
    for (;;) {
        int client = accept4(server, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) continue;
        std::thread([client] {
            std::vector<char> buffer(1 << 16);
            while (recv(client, buffer.data(), buffer.size(), 0) > 0) {
            }
            close(client);
        }).detach();
    }
}

// Reads datagrams on address:port for good, so none is answered with an ICMP error.
[[noreturn]] inline void serveUdp(const std::string& address, int port) {
    int fd = boundSocket(SOCK_DGRAM, address, port);
    std::vector<char> buffer(1 << 16);
    for (;;) recv(fd, buffer.data(), buffer.size(), 0);
}

// `connections` TCP connections to address:port one after another, `bytes` sent on each, each
// closed cleanly (our FIN first, then the server's). True when every byte went.
inline bool sendTcp(const std::string& address, int port, size_t bytes, int connections = 1) {
    std::vector<char> chunk(1 << 16, 'x');
    auto to = socketAddress(address, port);
    for (int i = 0; i < connections; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) return false;
        for (size_t left = bytes; left > 0;) {
            ssize_t sent = send(fd, chunk.data(), std::min(left, chunk.size()), MSG_NOSIGNAL);
            if (sent < 0 && errno == EINTR) continue;
            if (sent <= 0) return false;
            left -= size_t(sent);
        }
        shutdown(fd, SHUT_WR);
        while (recv(fd, chunk.data(), chunk.size(), 0) > 0) {
        }
        close(fd);
    }
    return true;
}

// `datagrams` UDP datagrams of `size` bytes to address:port, paced a little so that a busy
// machine's socket buffers never drop one before it is counted. True when every one went.
inline bool sendUdp(const std::string& address, int port, int datagrams, size_t size) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    auto to = socketAddress(address, port);
    std::string datagram(size, 'x');
    for (int i = 0; i < datagrams; ++i) {
        if (sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to),
                   sizeof to) != ssize_t(size))
            return false;
        if (i % 64 == 63) usleep(1000);
    }
    close(fd);
    return true;
}

// One end of a user-space VPN, as such programs work: it holds the tun device `tun` (made
// beforehand with `ip tuntap add`), and carries each packet the kernel routes into it to the
// other end as one UDP datagram from local:port to remote:port, and each datagram that arrives
// back into the tun device. Never returns.
[[noreturn]] inline void runTunnelEnd(const std::string& tun, const std::string& local,
                                      const std::string& remote, int port) {
    int device = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
    ifreq request{};
    request.ifr_flags = IFF_TUN | IFF_NO_PI;
    std::strncpy(request.ifr_name, tun.c_str(), IFNAMSIZ - 1);
    if (device < 0 || ioctl(device, TUNSETIFF, &request) != 0) _exit(123);
    int carrier = boundSocket(SOCK_DGRAM, local, port);
    int buffer = 4 << 20;
    setsockopt(carrier, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    setsockopt(carrier, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
    auto to = socketAddress(remote, port);
    if (connect(carrier, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) _exit(124);
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
            if (size > 0) (void)!write(device, packet.data(), size_t(size));
        }
    }
}

}  // namespace traffic_loads
