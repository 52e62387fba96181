// Real traffic counted end to end, as root: bytarn-trafficd in a world the test builds (a network
// namespace with veth links named Wi-Fi, cellular and ignored by the rules, one left unnamed and
// one that a stand-in NetworkManager reports as a Wi-Fi device, and a cgroup subtree shaped like a
// desktop's), each user's real collector daemon with the kernel source on its own bus and home,
// and the usage rows that end up in each user's database.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <nlohmann/json.hpp>

#include <array>
#include <cstdio>
#include <map>
#include <memory>
#include <sstream>

#include "support/ChildProcesses.h"
#include "support/StandInNetworkManager.h"
#include "support/TestEnvironment.h"
#include "support/TrafficWorld.h"

namespace {

constexpr int kNobody = 65534;
const std::string browserScope =
    "user.slice/user-0.slice/user@0.service/app.slice/app-gnome-org.example.Browser-42.scope";
const std::string mailScope =
    "user.slice/user-65534.slice/user@65534.service/app.slice/app-gnome-org.example.Mail-7.scope";
// A system service, which every user sees by its unit's name.
const std::string serviceCgroup = "system.slice/packagekit.service";

// Bytes per application over all days: Wi-Fi, cellular, unknown.
using Totals = std::map<std::string, std::array<std::int64_t, 3>>;

// Rows of a query on a database that a collector may be writing; none when it is not there yet.
std::vector<std::vector<std::string>> query(const std::string& path, const char* sql) {
    std::vector<std::vector<std::string>> rows;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(db, 2000);
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) == SQLITE_OK)
            while (sqlite3_step(statement) == SQLITE_ROW) {
                rows.emplace_back();
                for (int column = 0; column < sqlite3_column_count(statement); ++column) {
                    auto text = sqlite3_column_text(statement, column);
                    rows.back().emplace_back(text ? reinterpret_cast<const char*>(text) : "");
                }
            }
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return rows;
}

// One user's collector: a home of its own (so its own database) and a private bus, both the
// user's, and `bytarn-collector run --source kernel` as that user, started and stopped at will.
class UserCollector {
  public:
    UserCollector(const TrafficWorld& world, const std::string& name, int uid)
        : world_(world), home_((world.scratch / name).string()), uid_(uid) {
        std::filesystem::create_directories(home_);
        if (chown(home_.c_str(), uid, uid) != 0) return;
        bus_ = std::make_unique<PrivateBus>(home_, uid);
        // Another uid may not reach the build tree: it runs a copy in the world's scratch.
        if (uid_t(uid) != geteuid()) {
            programs_ = world.scratch / "programs";
            program_ = copyForOtherUsers(BYTARN_BINARY_DIR "/bin/bytarn-collector", programs_);
            if (program_.empty())
                std::ofstream(log()) << "could not copy bytarn-collector and its libraries into "
                                     << programs_ << "\n";
        }
    }

    bool start(const std::string& saveInterval) {
        process_ = std::make_unique<CollectorProcess>(
            std::vector<std::string>{"run", "--source", "kernel", "--traffic-socket",
                                     world_.socketPath().string(), "--save-interval", saveInterval},
            bus_ ? bus_->address() : "", log(),
            std::vector<std::string>{"HOME=" + home_, "XDG_DATA_HOME=" + home_ + "/.local/share",
                                     "XDG_CONFIG_HOME=" + home_ + "/.config",
                                     "LD_LIBRARY_PATH=" + programs_.string()},
            uid_, program_);
        // Connected once this run's line joins the earlier runs' in the shared log.
        bool connected = bus_ && bus_->running() && process_->started() &&
                         eventually([&] { return connections() > connected_; });
        connected_ = connections();
        return connected;
    }
    CollectorProcess& process() { return *process_; }

    std::string database() const {
        return home_ + "/.local/share/bytarn/" BYTARN_COLLECTOR_SERVICE ".sqlite3";
    }
    std::string log() const { return home_ + "/collector.log"; }
    const std::string& home() const { return home_; }
    std::string logs() const { return readFile(log()) + readFile(world_.helperLog()); }

    Totals totals() const {
        Totals sums;
        for (const auto& row : query(database(),
                                     "SELECT app, SUM(usage_wifi), SUM(usage_cellular),"
                                     " SUM(usage_unknown) FROM usage GROUP BY app;"))
            sums[row[0]] = {std::stoll(row[1]), std::stoll(row[2]), std::stoll(row[3])};
        return sums;
    }
    std::vector<std::vector<std::string>> progress() const {
        return query(database(), "SELECT source, epoch, seq FROM usage_sources;");
    }

  private:
    std::size_t connections() const {
        std::string text = readFile(log()), line = "connected to the traffic helper at";
        std::size_t count = 0;
        for (auto at = text.find(line); at != std::string::npos; at = text.find(line, at + 1))
            ++count;
        return count;
    }

    const TrafficWorld& world_;
    std::string home_;
    int uid_;
    std::filesystem::path programs_;  // empty: the build tree's own collector
    std::string program_ = BYTARN_BINARY_DIR "/bin/bytarn-collector";
    std::size_t connected_ = 0;
    std::unique_ptr<PrivateBus> bus_;
    std::unique_ptr<CollectorProcess> process_;
};

// Whether each of `apps` counts at least `payload` bytes of each kind (bytes, not datagrams).
bool reached(const Totals& totals, const Totals& payload) {
    for (const auto& [app, kinds] : payload) {
        auto found = totals.find(app);
        for (int kind = 0; kind < 3; ++kind)
            if (found == totals.end() ? kinds[kind] > 0 : found->second[kind] < kinds[kind])
                return false;
    }
    return true;
}

// Exactly the payload's applications, each kind at least its payload and at most 3% above it
// (UDP and IP headers): nothing counted twice, nothing of another user, link or loopback.
void expectCounted(const Totals& totals, const Totals& payload, const std::string& logs) {
    ASSERT_EQ(totals.size(), payload.size()) << logs;
    for (const auto& [app, kinds] : payload) {
        ASSERT_TRUE(totals.count(app)) << app << "\n" << logs;
        for (int kind = 0; kind < 3; ++kind) {
            EXPECT_GE(totals.at(app)[kind], kinds[kind]) << app << " kind " << kind;
            EXPECT_LE(totals.at(app)[kind], kinds[kind] * 103 / 100) << app << " kind " << kind;
        }
    }
}

// What a command prints on standard output, and its exit status.
std::pair<std::string, int> runCommand(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return {"", -1};
    char chunk[4096];
    for (size_t count; (count = fread(chunk, 1, sizeof chunk, pipe)) > 0;) out.append(chunk, count);
    int status = pclose(pipe);
    return {out, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

class TrafficCounting : public ::testing::Test {
  protected:
    void SetUp() override {
        if (auto missing = trafficWorldUnavailable()) GTEST_SKIP() << *missing;
        if (!programInstalled("dbus-daemon") || !programInstalled("setpriv"))
            GTEST_SKIP() << "dbus-daemon or setpriv is not installed";
        world = std::make_unique<TrafficWorld>("traffic-counting");
        world->addScope(browserScope);
        world->addScope(mailScope);
        world->addScope(serviceCgroup);
        wifi = world->addLink("btw", 211);
        cellular = world->addLink("btc", 212);
        unnamed = world->addLink("btu", 213);
        ignored = world->addLink("bti", 214);
        hotspot = world->addLink("bth", 215);
        ASSERT_TRUE(world->ok()) << "could not build the test's namespaces, links and cgroups";
        // The hotspot's link: Wi-Fi in the helper's sysfs, a Wi-Fi device of NetworkManager's on
        // the system bus of the test's own, not metered (the home network) until a check says.
        hotspotLink = "bth" + world->tag;
        std::filesystem::create_directories(world->scratch / "sysfs" / hotspotLink / "wireless");
        std::filesystem::create_directories(world->scratch / "system-bus");
        systemBus = std::make_unique<PrivateBus>((world->scratch / "system-bus").string());
        ASSERT_TRUE(systemBus->running());
        networkManager = std::make_unique<StandInNetworkManager>(systemBus->address());
        networkManager->addDevice(1, {hotspotLink, hotspotLink, StandInNetworkManager::kWifi,
                                      StandInNetworkManager::kMeteredNo});
        networkManager->start();
        ASSERT_TRUE(
            world->startHelper("# the test's links; btu* and bth* have no rule\n"
                               "btw* wifi\nbtc* cellular\nbti* ignore\n",
                               {"--sysfs", (world->scratch / "sysfs").string()},
                               {"DBUS_SYSTEM_BUS_ADDRESS=" + systemBus->address()}))
            << readFile(world->helperLog());
    }

    // The hotspot's line of `bytarn networks` ("bth...  wifi  Wi-Fi (sysfs)"), or why none.
    std::string hotspotLine() const {
        auto [out, status] = runCommand(BYTARN_BINARY_DIR "/bin/bytarn networks --traffic-socket " +
                                        world->socketPath().string() + " 2>&1");
        std::istringstream lines(out);
        for (std::string line; std::getline(lines, line);)
            if (line.rfind(hotspotLink + " ", 0) == 0) {
                // Columns apart by runs of spaces: one space between them is enough to compare.
                std::string squeezed;
                for (char c : line)
                    if (c != ' ' || squeezed.empty() || squeezed.back() != ' ') squeezed += c;
                return squeezed;
            }
        return "no line for " + hotspotLink + " (status " + std::to_string(status) + "):\n" + out;
    }

    std::unique_ptr<TrafficWorld> world;
    std::unique_ptr<PrivateBus> systemBus;
    std::unique_ptr<StandInNetworkManager> networkManager;
    std::string wifi, cellular, unnamed, ignored, hotspot, hotspotLink;
};

// Each user's database: its own applications by kind, the system service, and the other user's
// traffic as one row, never by application.
TEST_F(TrafficCounting, EachUserCountsItsOwnAppsTheSystemAndTheOtherUserOnlyAsATotal) {
    UserCollector root(*world, "root", 0), nobody(*world, "nobody", kNobody);
    ASSERT_TRUE(root.start("0.3")) << root.logs();
    ASSERT_TRUE(nobody.start("0.3")) << nobody.logs();

    // As much again over loopback and over the ignored link as over the counted ones: counted
    // anywhere, either breaks the 3% bound.
    ASSERT_TRUE(world->sendFrom(
        browserScope,
        {{wifi, 20}, {cellular, 10}, {unnamed, 5}, {ignored, 35}, {"127.0.0.1", 35}}));
    ASSERT_TRUE(world->sendFrom(mailScope, {{wifi, 7}, {"127.0.0.1", 7}}));
    ASSERT_TRUE(world->sendFrom(serviceCgroup, {{cellular, 4}, {"127.0.0.1", 4}}, "packagekitd"));
    const Totals rootPayload{{"org.example.Browser", {20000, 10000, 5000}},
                             {"packagekit", {0, 4000, 0}},
                             {"org.bytarn.OtherUsers", {7000, 0, 0}}};
    const Totals nobodyPayload{{"org.example.Mail", {7000, 0, 0}},
                               {"packagekit", {0, 4000, 0}},
                               {"org.bytarn.OtherUsers", {20000, 10000, 5000}}};
    EXPECT_TRUE(eventually([&] {
        return reached(root.totals(), rootPayload) && reached(nobody.totals(), nobodyPayload);
    })) << root.logs();
    // One more reading and save, for anything counted late.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));

    expectCounted(root.totals(), rootPayload, root.logs());
    expectCounted(nobody.totals(), nobodyPayload, nobody.logs());
    struct stat owner {};
    ASSERT_EQ(stat(nobody.database().c_str(), &owner), 0);
    EXPECT_EQ(owner.st_uid, uid_t(kNobody)) << "nobody's collector wrote its database as nobody";
}

TEST_F(TrafficCounting, ACollectorKilledBeforeItsFirstSaveLosesNothingAndCountsNothingTwice) {
    UserCollector root(*world, "root", 0);
    ASSERT_TRUE(root.start("3600")) << root.logs();
    ASSERT_TRUE(world->sendFrom(browserScope, {{wifi, 20}, {cellular, 6}}));
    // Two of the helper's readings: the collector holds the deltas, unsaved.
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    root.process().killNow();
    EXPECT_TRUE(root.totals().empty()) << "saved before it was killed: the test proves nothing";

    const Totals payload{{"org.example.Browser", {20000, 6000, 0}}};
    ASSERT_TRUE(root.start("0.3")) << root.logs();
    EXPECT_TRUE(eventually([&] { return reached(root.totals(), payload); })) << root.logs();
    EXPECT_EQ(root.process().stop(SIGTERM), 0) << root.logs();  // saves, then acknowledges
    expectCounted(root.totals(), payload, root.logs());
    auto progress = root.progress();
    ASSERT_EQ(progress.size(), 1u) << root.logs();
    EXPECT_EQ(progress[0][0], "kernel");
    EXPECT_TRUE(progress[0][1].size() == 16 &&
                progress[0][1].find_first_not_of("0123456789abcdef") == std::string::npos)
        << progress[0][1];
    EXPECT_GE(std::stoll(progress[0][2]), 1);

    // Acknowledged: a third run is handed nothing again, and its progress stays where it was.
    ASSERT_TRUE(root.start("0.3")) << root.logs();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(root.process().stop(SIGTERM), 0) << root.logs();
    expectCounted(root.totals(), payload, root.logs());
    EXPECT_EQ(root.progress(), progress);
}

// The same wlan0 at home and on the train: while NetworkManager reports the link metered it
// counts as cellular, before and after as Wi-Fi; each change shows within 2 s in `bytarn networks`
// (which leaves the collector's connection alone), and traffic sent just before a change keeps
// the kind it had. Wired traffic shows in `bytarn report --networks all`.
TEST_F(TrafficCounting, AMeteredHotspotCountsAsCellularOnlyWhileNetworkManagerSaysSo) {
    UserCollector root(*world, "root", 0);
    ASSERT_TRUE(root.start("0.3")) << root.logs();
    const std::string home = hotspotLink + " wifi Wi-Fi (sysfs)",
                      train = hotspotLink + " cellular metered (NetworkManager)";
    EXPECT_EQ(hotspotLine(), home) << readFile(world->helperLog());

    // Each change right after traffic: the helper reads the counters at the change.
    const std::pair<uint32_t, std::string> changes[] = {
        {StandInNetworkManager::kMeteredGuessYes, train},  // the phone's DHCP option
        {StandInNetworkManager::kMeteredNo, home},
    };
    ASSERT_TRUE(world->sendFrom(browserScope, {{hotspot, 10}}));  // Wi-Fi
    for (const auto& [metered, line] : changes) {
        networkManager->setMetered(1, metered);
        auto changed = std::chrono::steady_clock::now();
        EXPECT_TRUE(eventually([&] { return hotspotLine() == line; }, 2)) << hotspotLine();
        EXPECT_LE(std::chrono::steady_clock::now() - changed, std::chrono::seconds(2));
        // Cellular while metered, Wi-Fi once it is not.
        ASSERT_TRUE(world->sendFrom(browserScope, {{hotspot, line == train ? 6 : 4}}));
    }
    ASSERT_TRUE(world->sendFrom(browserScope, {{unnamed, 5}}));  // a wired network's kind
    const Totals payload{{"org.example.Browser", {14000, 6000, 5000}}};
    EXPECT_TRUE(eventually([&] { return reached(root.totals(), payload); })) << root.logs();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // anything counted late
    expectCounted(root.totals(), payload, root.logs());
    EXPECT_EQ(readFile(root.log()).find("refused"), std::string::npos) << root.logs();

    // The page shows Wi-Fi and cellular; the report shows the wired bytes under "other".
    auto [report, status] =
        runCommand("HOME=" + root.home() + " XDG_CONFIG_HOME=" + root.home() + "/.config " +
                   BYTARN_BINARY_DIR
                   "/bin/bytarn report --period eternity --networks all --format json "
                   "--database " +
                   root.database());
    ASSERT_EQ(status, 0) << report;
    auto total = nlohmann::json::parse(report)["total"];
    EXPECT_EQ(total["other"], root.totals()["org.example.Browser"][2]);
    EXPECT_EQ(total["usage"].get<int64_t>(), total["wifi"].get<int64_t>() +
                                                 total["cellular"].get<int64_t>() +
                                                 total["other"].get<int64_t>());
}

}  // namespace
