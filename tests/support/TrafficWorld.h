#pragma once

// A world of its own for tests of real traffic, as root: a network namespace for the traffic
// helper joined by veth links to a peer namespace, a cgroup subtree shaped like a desktop's, the
// helper running in it, and processes moved into its scopes that send known bytes. Everything is
// removed by the destructor, in reverse, even when a check failed half-way.

#include <arpa/inet.h>
#include <bpf/libbpf.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "trafficd/cgroups/CgroupDirectory.h"

// Why real traffic cannot be counted here, or nothing when it can.
inline std::optional<std::string> trafficWorldUnavailable() {
    if (geteuid() != 0) return "needs root: BPF programs, cgroups and network namespaces";
    if (!bytarn::trafficd::findCgroup2Mount()) return "no cgroup v2 hierarchy is mounted";
    if (libbpf_probe_bpf_prog_type(BPF_PROG_TYPE_CGROUP_SKB, nullptr) != 1)
        return "this kernel does not offer cgroup_skb BPF programs to this process";
    if (std::system("ip netns list >/dev/null 2>&1") != 0)
        return "the ip command (iproute2) with network namespace support is missing";
    if (!std::filesystem::exists(BYTARN_BINARY_DIR "/bin/bytarn-trafficd"))
        return "bytarn-trafficd is not built";
    return std::nullopt;
}

// The calling thread is in the network namespace of that name while this lives: the counters
// count only sockets of the namespace they were loaded in, so a test that loads them in the
// helper's namespace enters it first.
class InNamespace {
  public:
    explicit InNamespace(const std::string& name)
        : original_(open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC)) {
        int fd = open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
        ok_ = original_ >= 0 && fd >= 0 && setns(fd, CLONE_NEWNET) == 0;
        if (fd >= 0) close(fd);
    }
    ~InNamespace() {
        if (original_ >= 0) {
            (void)!setns(original_, CLONE_NEWNET);
            close(original_);
        }
    }
    InNamespace(const InNamespace&) = delete;
    InNamespace& operator=(const InNamespace&) = delete;
    bool ok() const { return ok_; }

  private:
    int original_;
    bool ok_ = false;
};

class TrafficWorld {
  public:
    // Payloads go out in datagrams of this size: 28 bytes of UDP and IP headers make 2.8%.
    static constexpr int kDatagram = 1000;

    const std::string tag = std::to_string(getpid());
    const std::string nsHelper = "btdh" + tag, nsPeer = "btdp" + tag;
    std::filesystem::path cgroupRoot, scratch;

    // Call only when trafficWorldUnavailable() said nothing. `name` tells the scratch directory
    // and cgroup of one test program from another's.
    explicit TrafficWorld(const std::string& name) {
        scratch = std::filesystem::temp_directory_path() / (name + "-" + tag);
        std::filesystem::create_directories(scratch);
        std::filesystem::permissions(scratch, std::filesystem::perms(0755));  // nobody gets in
        cgroupRoot = *bytarn::trafficd::findCgroup2Mount() / ("bytarn-" + name + "-" + tag);
        std::filesystem::create_directories(cgroupRoot);
        netnsMade_ = true;
        ok_ = addNamespace(nsHelper) && addNamespace(nsPeer);
    }

    ~TrafficWorld() {
        for (pid_t child : children_) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
        std::vector<std::filesystem::path> directories;
        std::error_code error;
        for (std::filesystem::recursive_directory_iterator it(cgroupRoot, error), end;
             !error && it != end; it.increment(error))
            if (it->is_directory()) directories.push_back(it->path());
        std::sort(directories.rbegin(), directories.rend());  // children before parents
        for (const auto& directory : directories) rmdir(directory.c_str());
        rmdir(cgroupRoot.c_str());
        if (netnsMade_)  // deleting a namespace deletes its ends of the links and its tunnels
            for (const auto& ns : namespaces_) run("ip netns del " + ns);
        std::filesystem::remove_all(scratch, error);
    }
    TrafficWorld(const TrafficWorld&) = delete;
    TrafficWorld& operator=(const TrafficWorld&) = delete;

    // Whether every step so far worked.
    bool ok() const { return ok_; }

    static int run(const std::string& command) {
        return std::system((command + " >/dev/null 2>&1").c_str());
    }

    // A network namespace more, with loopback up and no IPv6 (whose router and neighbour
    // chatter would cross the links unasked); removed with the world. True when it worked.
    bool addNamespace(const std::string& name) {
        if (run("ip netns add " + name) != 0) return false;
        namespaces_.push_back(name);
        return run("ip -n " + name + " link set lo up") == 0 &&
               run("ip netns exec " + name +
                   " sysctl -qw net.ipv6.conf.all.disable_ipv6=1"
                   " net.ipv6.conf.default.disable_ipv6=1") == 0;
    }

    // A veth link: `<prefix><tag>` in the helper's namespace with 10.<subnet>.0.1/24, its peer
    // in `other` (the peer's namespace unless given) with 10.<subnet>.0.2. Returns the peer's
    // address. Each end knows the other's hardware address for good: no ARP crosses the link,
    // so its counters hold only the IP packets the test sent.
    std::string addLink(const std::string& prefix, int subnet, const std::string& other = "") {
        const std::string& otherNs = other.empty() ? nsPeer : other;
        std::string name = prefix + tag, peer = "btp" + std::to_string(subnet) + tag;
        std::string net = "10." + std::to_string(subnet) + ".0.";
        char mac[2][18];
        for (int end = 0; end < 2; ++end)
            std::snprintf(mac[end], sizeof mac[end], "02:b7:00:%02x:00:%02x", subnet & 0xff,
                          end + 1);
        ok_ =
            ok_ &&
            run("ip link add " + name + " address " + mac[0] + " netns " + nsHelper +
                " type veth peer name " + peer + " address " + mac[1] + " netns " + otherNs) == 0 &&
            run("ip -n " + nsHelper + " addr add " + net + "1/24 dev " + name) == 0 &&
            run("ip -n " + otherNs + " addr add " + net + "2/24 dev " + peer) == 0 &&
            run("ip -n " + nsHelper + " neigh replace " + net + "2 lladdr " + mac[1] + " dev " +
                name + " nud permanent") == 0 &&
            run("ip -n " + otherNs + " neigh replace " + net + "1 lladdr " + mac[0] + " dev " +
                peer + " nud permanent") == 0 &&
            run("ip -n " + nsHelper + " link set " + name + " up") == 0 &&
            run("ip -n " + otherNs + " link set " + peer + " up") == 0;
        return net + "2";
    }

    // What a link's end in a namespace has passed both ways: bytes and frames, as its counters
    // (`ip netns exec` mounts that namespace's sysfs) say them.
    struct LinkCounters {
        uint64_t bytes = 0, frames = 0;
    };
    static std::optional<LinkCounters> linkCounters(const std::string& ns,
                                                    const std::string& link) {
        std::string command = "ip netns exec " + ns + " sh -c 'cd /sys/class/net/" + link +
                              "/statistics && cat rx_bytes tx_bytes rx_packets tx_packets'";
        FILE* pipe = popen(command.c_str(), "r");
        if (!pipe) return std::nullopt;
        unsigned long long rxBytes, txBytes, rxFrames, txFrames;
        int read =
            std::fscanf(pipe, "%llu %llu %llu %llu", &rxBytes, &txBytes, &rxFrames, &txFrames);
        pclose(pipe);
        if (read != 4) return std::nullopt;
        return LinkCounters{rxBytes + txBytes, rxFrames + txFrames};
    }

    // A cgroup below the test's root, relative to it, with its parents.
    void addScope(const std::string& scope) {
        std::error_code error;
        std::filesystem::create_directories(cgroupRoot / scope, error);
        ok_ = ok_ && !error;
    }

    void joinHelperNamespace() const { joinNamespace(nsHelper); }
    static void joinNamespace(const std::string& ns) {
        int fd = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || setns(fd, CLONE_NEWNET) != 0) _exit(120);
        close(fd);
    }

    // Forks a child that runs body and exits; the destructor kills it if it is still there.
    pid_t spawn(const std::function<void()>& body) {
        pid_t child = fork();
        if (child == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive a test that crashed
            body();
            _exit(0);
        }
        children_.push_back(child);
        return child;
    }

    // spawn() of a process named `program` in `scope` (below the test's cgroup root) and in
    // network namespace `ns`: what it does there is counted (or not) as that program's.
    pid_t spawnIn(const std::string& scope, const std::string& ns, const std::string& program,
                  const std::function<void()>& body) {
        return spawn([&] {
            prctl(PR_SET_NAME, program.c_str());
            std::ofstream(cgroupRoot / scope / "cgroup.procs") << getpid() << std::flush;
            joinNamespace(ns);
            body();
        });
    }

    // Waits for a child of spawn() and forgets it; true when it exited with 0.
    bool reap(pid_t child) {
        int status = waitFor(child);
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    // Waits for a child of spawn() and forgets it; its wait status.
    int waitFor(pid_t child) {
        int status = 0;
        waitpid(child, &status, 0);
        std::erase(children_, child);
        return status;
    }

    // SIGKILL to the helper startHelper() started: nothing of it may outlive it. True once it
    // is gone.
    bool killHelper() {
        if (helper_ <= 0 || kill(helper_, SIGKILL) != 0) return false;
        waitFor(std::exchange(helper_, 0));
        return true;
    }

    // Starts bytarn-trafficd in the helper's namespace on the test's cgroup root with these
    // rules, reading every second, with more arguments and environment ("NAME=value") if given;
    // true once its socket is there.
    bool startHelper(const std::string& rules, const std::vector<std::string>& arguments = {},
                     const std::vector<std::string>& environment = {}) {
        std::ofstream(scratch / "interfaces") << rules;
        auto rulesPath = scratch / "interfaces", log = helperLog();
        std::string helper = BYTARN_BINARY_DIR "/bin/bytarn-trafficd";
        std::vector<std::string> argv{helper,
                                      "--cgroup",
                                      cgroupRoot.string(),
                                      "--socket",
                                      socketPath().string(),
                                      "--interfaces",
                                      rulesPath.string(),
                                      "--interval",
                                      "1"};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        std::vector<char*> pointers;
        for (auto& argument : argv) pointers.push_back(argument.data());
        pointers.push_back(nullptr);
        std::vector<std::string> variables = environment;
        helper_ = spawn([&] {
            joinHelperNamespace();
            for (auto& variable : variables) putenv(variable.data());
            int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, STDERR_FILENO);
            execv(helper.c_str(), pointers.data());
            _exit(127);
        });
        for (int i = 0; i < 100 && !std::filesystem::exists(socketPath()); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return std::filesystem::exists(socketPath());
    }
    std::filesystem::path socketPath() const { return scratch / "traffic.sock"; }
    std::filesystem::path helperLog() const { return scratch / "helper.log"; }

    // A process in scope, inside the helper's namespace, sends `datagrams` datagrams of
    // kDatagram bytes over UDP to each address (nothing listens: the peer's ICMP answers are the
    // kernel's own and never count). True when it sent them all.
    // Sends from a process in `scope`; `program` renames it first (the name the kernel records).
    bool sendFrom(const std::string& scope,
                  const std::vector<std::pair<std::string, int>>& datagramsTo,
                  const std::string& program = "") {
        pid_t child = spawn([&] {
            if (!program.empty()) prctl(PR_SET_NAME, program.c_str());
            std::ofstream(cgroupRoot / scope / "cgroup.procs") << getpid() << std::flush;
            joinHelperNamespace();
            int fd = socket(AF_INET, SOCK_DGRAM, 0);  // made in the scope: counted there
            std::string datagram(kDatagram, 'x');
            for (const auto& [address, datagrams] : datagramsTo) {
                sockaddr_in to{};
                to.sin_family = AF_INET;
                to.sin_port = htons(9);
                inet_pton(AF_INET, address.c_str(), &to.sin_addr);
                for (int i = 0; i < datagrams; ++i)
                    if (sendto(fd, datagram.data(), datagram.size(), 0,
                               reinterpret_cast<sockaddr*>(&to), sizeof to) != kDatagram)
                        _exit(1);
            }
        });
        return reap(child);
    }

  private:
    std::vector<pid_t> children_;
    pid_t helper_ = 0;
    std::vector<std::string> namespaces_;
    bool netnsMade_ = false;
    bool ok_ = true;
};
