// bytarn-trafficd against the real kernel, in a world the test builds and removes itself: two
// network namespaces joined by a veth pair (one end named Wi-Fi by the rules), a cgroup subtree
// shaped like a desktop's for root and for nobody, and processes in it that send known bytes.
#include "CgroupDirectory.h"

#include <bpf/libbpf.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

const std::string browserScope =
    "user.slice/user-0.slice/user@0.service/app.slice/app-gnome-org.example.Browser-42.scope";
const std::string mailScope =
    "user.slice/user-65534.slice/user@65534.service/app.slice/app-gnome-org.example.Mail-7.scope";
// Made after the helper started and gone before its first reading: only the kernel's
// cgroup_mkdir event can name it.
const std::string shortScope =
    "user.slice/user-0.slice/user@0.service/app.slice/app-org.example.Short@x1.service";
constexpr int browserPayload = 20 * 1000, mailPayload = 7 * 1000, shortPayload = 3 * 1000;

int run(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str());
}

// Everything the test creates, removed in reverse by the destructor even when a check fails.
struct World {
    std::string tag = std::to_string(getpid());
    std::string nsHelper = "btdh" + tag, nsPeer = "btdp" + tag;
    std::string peerAddress = "10.213." + std::to_string(getpid() % 250) + ".2";
    fs::path cgroupRoot, scratch;
    std::vector<pid_t> children;
    bool netnsMade = false;

    ~World() {
        for (pid_t child : children) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
        if (!cgroupRoot.empty()) {
            std::vector<fs::path> directories;
            std::error_code error;
            for (fs::recursive_directory_iterator it(cgroupRoot, error), end; !error && it != end;
                 it.increment(error))
                if (it->is_directory()) directories.push_back(it->path());
            std::sort(directories.rbegin(), directories.rend());  // children before parents
            for (const auto& directory : directories) rmdir(directory.c_str());
            rmdir(cgroupRoot.c_str());
        }
        if (netnsMade) {
            run("ip netns del " + nsHelper);
            run("ip netns del " + nsPeer);
        }
        if (!scratch.empty()) fs::remove_all(scratch);
    }

    void joinNetns(const std::string& name) {
        int fd = open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || setns(fd, CLONE_NEWNET) != 0) _exit(120);
        close(fd);
    }

    pid_t spawn(const std::function<void()>& body) {
        pid_t child = fork();
        if (child == 0) {
            body();
            _exit(0);
        }
        children.push_back(child);
        return child;
    }

    // A process in scope (inside the helper's namespace) sends payload bytes over UDP to the
    // peer, and as much again over loopback, which never counts.
    void sendFrom(const std::string& scope, int datagrams) {
        pid_t child = spawn([&] {
            std::ofstream(cgroupRoot / scope / "cgroup.procs") << getpid() << std::flush;
            joinNetns(nsHelper);
            int fd = socket(AF_INET, SOCK_DGRAM, 0);  // made in the scope: counted there
            std::string datagram(1000, 'x');
            for (const auto& address : {peerAddress, std::string("127.0.0.1")}) {
                sockaddr_in to{};
                to.sin_family = AF_INET;
                to.sin_port = htons(9);
                inet_pton(AF_INET, address.c_str(), &to.sin_addr);
                for (int i = 0; i < datagrams; ++i)
                    sendto(fd, datagram.data(), datagram.size(), 0,
                           reinterpret_cast<sockaddr*>(&to), sizeof to);
            }
        });
        int status = 0;
        waitpid(child, &status, 0);
        std::erase(children, child);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
};

// Reads the helper's lines for up to `seconds`, stopping early once `enough` says so.
std::vector<json> readLines(int fd, double seconds,
                            const std::function<bool(const std::vector<json>&)>& enough) {
    std::vector<json> lines;
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
            lines.push_back(json::parse(buffer.substr(0, end)));
            buffer.erase(0, end + 1);
        }
    }
    return lines;
}

int connectTo(const fs::path& socketPath) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, socketPath.c_str());
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Bytes per (app, kind) over every delta received, and the highest seq.
std::map<std::string, uint64_t> totals(const std::vector<json>& lines,
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

uint64_t bytesOf(const std::map<std::string, uint64_t>& sums, const std::string& key) {
    auto found = sums.find(key);
    return found == sums.end() ? 0 : found->second;
}

std::function<bool(const std::vector<json>&)> atLeast(const std::string& key, uint64_t bytes) {
    return [=](const std::vector<json>& lines) { return bytesOf(totals(lines), key) >= bytes; };
}

}  // namespace

TEST(TrafficdEndToEnd, EachUserGetsOnlyItsOwnTrafficByKindAndUnacknowledgedDeltasReturn) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root: BPF programs, cgroups and network namespaces";
    auto mount = bytarn::trafficd::findCgroup2Mount();
    if (!mount) GTEST_SKIP() << "no cgroup v2 hierarchy is mounted";
    if (libbpf_probe_bpf_prog_type(BPF_PROG_TYPE_CGROUP_SKB, nullptr) != 1)
        GTEST_SKIP() << "this kernel does not offer cgroup_skb BPF programs to this process";
    if (run("ip netns list") != 0)
        GTEST_SKIP() << "the ip command (iproute2) with network namespace support is missing";

    World world;
    world.scratch = fs::temp_directory_path() / ("trafficd-e2e-" + world.tag);
    fs::create_directories(world.scratch);
    fs::permissions(world.scratch, fs::perms(0755));  // nobody reaches the socket inside
    world.cgroupRoot = *mount / ("bytarn-trafficd-test-" + world.tag);
    for (const auto& scope : {browserScope, mailScope})
        fs::create_directories(world.cgroupRoot / scope);

    world.netnsMade = true;
    auto helperAddress = "10.213." + std::to_string(getpid() % 250) + ".1/24";
    ASSERT_EQ(run("ip netns add " + world.nsHelper), 0);
    ASSERT_EQ(run("ip netns add " + world.nsPeer), 0);
    ASSERT_EQ(run("ip link add btw" + world.tag + " netns " + world.nsHelper +
                  " type veth peer name btp" + world.tag + " netns " + world.nsPeer),
              0);
    ASSERT_EQ(
        run("ip -n " + world.nsHelper + " addr add " + helperAddress + " dev btw" + world.tag), 0);
    ASSERT_EQ(
        run("ip -n " + world.nsPeer + " addr add " + world.peerAddress + "/24 dev btp" + world.tag),
        0);
    ASSERT_EQ(run("ip -n " + world.nsHelper + " link set btw" + world.tag + " up"), 0);
    ASSERT_EQ(run("ip -n " + world.nsHelper + " link set lo up"), 0);
    ASSERT_EQ(run("ip -n " + world.nsPeer + " link set btp" + world.tag + " up"), 0);

    auto rules = world.scratch / "interfaces", socketPath = world.scratch / "traffic.sock";
    auto helperLog = world.scratch / "helper.log";
    std::ofstream(rules) << "# the test's link\nbtw* wifi\n";
    world.spawn([&] {
        prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive a test that crashed
        world.joinNetns(world.nsHelper);
        int log = open(helperLog.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(log, STDERR_FILENO);
        std::string helper = BYTARN_BINARY_DIR "/bin/bytarn-trafficd";
        execl(helper.c_str(), helper.c_str(), "--cgroup", world.cgroupRoot.c_str(), "--socket",
              socketPath.c_str(), "--interfaces", rules.c_str(), "--interval", "1",
              static_cast<char*>(nullptr));
        _exit(127);
    });
    for (int i = 0; i < 100 && !fs::exists(socketPath); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto logText = [&] {
        std::ifstream in(helperLog);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    ASSERT_TRUE(fs::exists(socketPath)) << "the helper did not start:\n" << logText();

    // All within the second before the first reading.
    fs::create_directories(world.cgroupRoot / shortScope);
    world.sendFrom(shortScope, shortPayload / 1000);
    ASSERT_EQ(rmdir((world.cgroupRoot / shortScope).c_str()), 0);
    world.sendFrom(browserScope, browserPayload / 1000);
    world.sendFrom(mailScope, mailPayload / 1000);

    // Root: its own slice's Browser, over Wi-Fi, at least the payload and at most 3% above (UDP
    // and IP headers); no loopback, nothing of nobody's.
    int root = connectTo(socketPath);
    ASSERT_GE(root, 0);
    auto lines = readLines(root, 5, [](const std::vector<json>& got) {
        return atLeast("org.example.Browser/wifi", browserPayload)(got) &&
               atLeast("org.example.Short/wifi", shortPayload)(got);
    });
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0]["hello"], "bytarn-trafficd");
    EXPECT_EQ(lines[0]["uid"], 0);
    uint64_t lastSeq = 0;
    auto seen = totals(lines, &lastSeq);
    ASSERT_EQ(seen.size(), 2u) << json(lines).dump() << "\n" << logText();
    EXPECT_GE(bytesOf(seen, "org.example.Short/wifi"), uint64_t(shortPayload));
    EXPECT_GE(bytesOf(seen, "org.example.Browser/wifi"), uint64_t(browserPayload));
    EXPECT_LE(bytesOf(seen, "org.example.Browser/wifi"), uint64_t(browserPayload * 1.03));

    // A second client of the same uid is refused while the first is connected.
    int second = connectTo(socketPath);
    auto refusal = readLines(second, 2, [](const auto& got) { return !got.empty(); });
    close(second);
    ASSERT_EQ(refusal.size(), 1u);
    EXPECT_TRUE(refusal[0].contains("error"));

    // Nothing acknowledged: reconnecting hands over the same deltas again, same epoch and seqs.
    close(root);
    root = connectTo(socketPath);
    uint64_t resentSeq = 0;
    auto resent = readLines(root, 3, [&](const auto& got) {
        uint64_t seq = 0;
        totals(got, &seq);
        return seq >= lastSeq;
    });
    ASSERT_FALSE(resent.empty());
    EXPECT_EQ(totals(resent, &resentSeq), seen);
    EXPECT_EQ(resentSeq, lastSeq);
    EXPECT_EQ(resent[0]["epoch"], lines[0]["epoch"]);
    // Acknowledged: not sent again.
    std::string ack =
        "ack " + lines[0]["epoch"].get<std::string>() + " " + std::to_string(lastSeq) + "\n";
    ASSERT_EQ(send(root, ack.data(), ack.size(), MSG_NOSIGNAL), ssize_t(ack.size()));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    close(root);
    root = connectTo(socketPath);
    auto afterAck = readLines(root, 0.5, [](const auto&) { return false; });
    close(root);
    EXPECT_TRUE(totals(afterAck).empty()) << json(afterAck).dump();

    // nobody: its own Mail traffic only.
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    pid_t nobody = world.spawn([&] {
        close(pipeFds[0]);
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(121);
        int fd = connectTo(socketPath);
        if (fd < 0) _exit(122);
        std::string text;
        for (const auto& line : readLines(fd, 5, atLeast("org.example.Mail/wifi", mailPayload)))
            text += line.dump() + "\n";
        (void)!write(pipeFds[1], text.data(), text.size());
    });
    close(pipeFds[1]);
    std::string received;
    char chunk[4096];
    for (ssize_t count; (count = read(pipeFds[0], chunk, sizeof chunk)) > 0;)
        received.append(chunk, count);
    close(pipeFds[0]);
    int status = 0;
    waitpid(nobody, &status, 0);
    std::erase(world.children, nobody);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "nobody's client failed: " << status;
    std::vector<json> nobodyLines;
    std::istringstream in(received);
    for (std::string line; std::getline(in, line);) nobodyLines.push_back(json::parse(line));
    ASSERT_FALSE(nobodyLines.empty());
    EXPECT_EQ(nobodyLines[0]["uid"], 65534);
    auto nobodySeen = totals(nobodyLines);
    ASSERT_EQ(nobodySeen.size(), 1u) << received;
    EXPECT_GE(bytesOf(nobodySeen, "org.example.Mail/wifi"), uint64_t(mailPayload));
    EXPECT_LE(bytesOf(nobodySeen, "org.example.Mail/wifi"), uint64_t(mailPayload * 1.03));
}
