#pragma once

// A client of the traffic helper's socket for tests: connect, read its lines as JSON, and add up
// the usage of every delta received.

#include <nlohmann/json.hpp>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

// A connected descriptor, or -1.
inline int connectToHelper(const std::filesystem::path& socketPath) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// The helper's lines until `enough` says so or `seconds` pass.
inline std::vector<nlohmann::json> readHelperLines(
    int fd, double seconds, const std::function<bool(const std::vector<nlohmann::json>&)>& enough) {
    std::vector<nlohmann::json> lines;
    std::string buffer;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!enough(lines) && std::chrono::steady_clock::now() < deadline) {
        pollfd entry{fd, POLLIN, 0};
        if (poll(&entry, 1, 50) <= 0) continue;
        char chunk[4096];
        ssize_t count = read(fd, chunk, sizeof chunk);
        if (count <= 0) break;
        buffer.append(chunk, count);
        for (auto end = buffer.find('\n'); end != std::string::npos; end = buffer.find('\n')) {
            lines.push_back(nlohmann::json::parse(buffer.substr(0, end)));
            buffer.erase(0, end + 1);
        }
    }
    return lines;
}

// Bytes per "app/kind" over every delta received, and the highest seq.
inline std::map<std::string, uint64_t> usageTotals(const std::vector<nlohmann::json>& lines,
                                                   uint64_t* lastSeq = nullptr) {
    std::map<std::string, uint64_t> sums;
    for (const auto& line : lines)
        if (line.contains("usage")) {
            for (const auto& entry : line["usage"])
                sums[entry["app"].get<std::string>() + "/" + entry["kind"].get<std::string>()] +=
                    entry["bytes"].get<uint64_t>();
            if (lastSeq) *lastSeq = line["seq"].get<uint64_t>();
        }
    return sums;
}
