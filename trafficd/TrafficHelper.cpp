#include "trafficd/TrafficHelper.h"

#include "trafficd/Log.h"
#include "trafficd/accounting/ForwardAccounting.h"
#include "trafficd/accounting/TrafficAccounting.h"
#include "trafficd/accounting/UserViews.h"
#include "trafficd/cgroups/CgroupDirectory.h"
#include "trafficd/counting/ForwardCounters.h"
#include "trafficd/counting/KernelCounters.h"
#include "trafficd/networks/InterfaceKinds.h"
#include "trafficd/networks/NetworkManagerDevices.h"
#include "trafficd/networks/Routes.h"
#include "trafficd/restrictions/CellularBlocking.h"
#include "trafficd/restrictions/RestrictionPolicy.h"
#include "trafficd/serving/DeltaLedger.h"
#include "trafficd/serving/TrafficServer.h"

#include <poll.h>
#include <sys/random.h>
#include <sys/signalfd.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace bytarn::trafficd {

namespace fs = std::filesystem;

namespace {

std::string randomEpoch() {
    uint64_t value = 0;
    if (getrandom(&value, sizeof value, 0) != sizeof value)
        value = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                (static_cast<uint64_t>(::getpid()) << 32);
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

int signalDescriptor() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    return signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC);
}

std::vector<TrafficServer::Interface> interfacesToServe(const InterfaceKinds& interfaces) {
    std::vector<TrafficServer::Interface> served;
    for (const auto& listed : interfaces.list())
        served.push_back({listed.name, listed.ifindex, std::string(kindName(listed.classed.kind)),
                          listed.classed.reason});
    return served;
}

}  // namespace

int runTrafficHelper(const HelperOptions& options) {
    auto mount = findCgroup2Mount();
    if (!mount) {
        logLine(
            "no cgroup v2 hierarchy is mounted (no cgroup2 line in /proc/self/mounts); "
            "bytarn-trafficd counts per cgroup v2 and cannot run without it");
        return 1;
    }
    fs::path attach = options.cgroup.empty() ? *mount : fs::weakly_canonical(options.cgroup);
    auto relative = attach.lexically_relative(*mount).string();
    if (relative.empty() || relative.starts_with("..")) {
        logLine(attach.string() + " is not a cgroup of the cgroup v2 hierarchy at " +
                mount->string());
        return 1;
    }
    auto rules = loadInterfaceRules(options.interfaces, !options.interfacesGiven);
    try {
        // A second helper refuses before it attaches anything; the socket itself is made once
        // the counters run (its appearing tells that the helper is ready).
        TrafficServer::refuseIfServed(options.socket);
        DeltaLedger ledger(randomEpoch());
        CgroupDirectory cgroups(*mount, attach);
        // Buckets are the cgroups at the level of user.slice/user-<UID>.slice below the
        // counted root: each user's slice, each system service.
        TableShares shares;
        shares.bucketLevel = 2;
        for (const auto& component : attach.lexically_relative(*mount))
            if (component != ".") ++shares.bucketLevel;
        KernelCounters counters(
            attach, [&](uint64_t id, std::string path) { cgroups.learn(id, std::move(path)); },
            BYTARN_TRAFFIC_MAX_ENTRIES, shares);
        InterfaceKinds interfaces(std::move(rules), options.sysfs);
        NetworkManagerDevices networkManager;
        TrafficAccounting accounting;
        ForwardCounters forwardCounters;  // without nf_tables: logged, and counts nothing
        ForwardAccounting forwardAccounting;
        TrafficServer server(TrafficServer::listeningSocket(options.socket), ledger);
        // Restrictions live only here, in memory: when the helper stops or dies, its links go
        // with its descriptors and nothing stays blocked.
        RestrictionPolicy policy;
        CellularBlocking blocking(counters.restrictionHooks());
        std::vector<std::pair<uint16_t, std::string>> programs;
        uint64_t cgroupsSeen = 0;
        // reread: program names and routes too (each reading, a change of kinds, the first
        // restriction); else only what the policy and the cgroups say.
        auto enforce = [&](bool reread) {
            if (!policy.restrictsAnything() && !blocking.restricting()) return;
            if (!reread && cgroups.version() == cgroupsSeen && blocking.restricting()) return;
            cgroupsSeen = cgroups.version();
            std::optional<RoutingTables> routes;
            if (reread && policy.restrictsAnything()) {
                programs = counters.programNumbers();
                routes = readRoutingTables();
            }
            blocking.update(policy, cgroups, programs, interfaces, routes ? &*routes : nullptr);
        };
        server.onRestriction([&](uid_t uid, const RestrictionLine& line) {
            RestrictionPolicy::Outcome outcome;
            if (auto refusal = policy.apply(uid, line, &outcome))
                return TrafficServer::RestrictionAnswer{*refusal, {}};
            if (outcome.changed) {
                cgroupsSeen = ~uint64_t(0);  // the policy moved: look again
                enforce(!blocking.restricting());
            }
            return TrafficServer::RestrictionAnswer{{}, outcome.summary};
        });
        int signals = signalDescriptor();
        logLine("counting traffic of " + attach.string() + " (epoch " + ledger.epoch() + ")");

        // Said once: where NetworkManager cannot tell, the rules file is the way to name a
        // phone's hotspot or tethering.
        bool absenceLogged = false;
        auto followNetworkManager = [&] {
            auto view = networkManager.view();
            if (!view.running && !view.absence.empty() && !absenceLogged) {
                absenceLogged = true;
                logLine(view.absence +
                        ": metered networks (a phone's hotspot, USB tethering) are not detected "
                        "and count by sysfs; name them cellular in " +
                        options.interfaces.string() + " (\"wlan0 cellular\")");
            }
            interfaces.follow(view);
        };
        if (!networkManager.waitForFirstAnswer(std::chrono::milliseconds(500)))
            logLine(
                "the system bus did not answer within 500 ms; NetworkManager's metered networks "
                "and modems count once it does");
        followNetworkManager();
        auto announceInterfaces = [&] {
            if (interfaces.takeChanged()) server.offerInterfaces(interfacesToServe(interfaces));
        };
        announceInterfaces();

        using Clock = std::chrono::steady_clock;
        auto interval = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(options.interval));
        auto nextReading = Clock::now() + interval;
        auto takeReading = [&] {
            // Every counter read was made by a process in a cgroup whose cgroup_mkdir event
            // was queued before the counter existed: drained after the read, every counter's
            // scope has its name, even one already gone.
            auto readings = counters.read();
            counters.drainEvents();
            auto round = accounting.account(readings, cgroups, interfaces);
            for (const auto& key : round.idleAndGone) counters.remove(key);
            auto forwarded = forwardAccounting.account(forwardCounters.read(), interfaces);
            for (const auto& element : forwarded.gone) forwardCounters.remove(element);
            round.forwarded = std::move(forwarded.bytesByKind);
            auto now = static_cast<int64_t>(std::time(nullptr));
            // Each user's view: its own applications, the system's, the other users' total.
            auto present = cgroups.usersWithSlices();
            present.merge(server.clientUids());
            for (const auto& [uid, bytes] : userViews(round, present)) ledger.add(uid, now, bytes);
            server.offerDeltas();
            enforce(true);  // new program names, kinds, routes
        };
        for (;;) {
            auto set = server.pollSet();
            size_t own = set.size();
            set.push_back({signals, POLLIN, 0});
            set.push_back({networkManager.changesFd(), POLLIN, 0});
            if (counters.eventsFd() >= 0) set.push_back({counters.eventsFd(), POLLIN, 0});
            auto wait =
                std::chrono::ceil<std::chrono::milliseconds>(nextReading - Clock::now()).count();
            int ready =
                ::poll(set.data(), set.size(), static_cast<int>(std::max<long long>(wait, 0)));
            if (ready < 0 && errno != EINTR) {
                logLine(std::string("poll: ") + std::strerror(errno));
                return 1;
            }
            if (ready > 0) {
                if (set[own].revents) {
                    logLine("stopping");
                    ::close(signals);
                    return 0;
                }
                if (set[own + 1].revents) {
                    // Traffic so far keeps the kinds it had: read the counters, then change them.
                    takeReading();
                    followNetworkManager();
                    announceInterfaces();
                    enforce(true);
                }
                if (set.size() > own + 2 && set[own + 2].revents) {
                    counters.drainEvents();
                    enforce(false);  // a new cgroup named like a restricted application
                }
                set.resize(own);
                if (server.clientsWaiting(set)) {
                    // A new client is told the interfaces as they are now.
                    interfaces.refresh();
                    announceInterfaces();
                }
                server.handle(set);
            }
            if (Clock::now() >= nextReading) {
                nextReading += interval;
                if (nextReading < Clock::now()) nextReading = Clock::now() + interval;
                takeReading();
                announceInterfaces();  // an interface first seen in this reading
            }
        }
    } catch (const std::exception& error) {
        logLine(error.what());
        return 1;
    }
}

}  // namespace bytarn::trafficd
