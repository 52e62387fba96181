// Real traffic counted end to end, as root: bytarn-trafficd in a world the test builds (a network
// namespace with veth links named Wi-Fi, cellular and ignored by the rules, one left unnamed and
// one that a stand-in NetworkManager reports as a Wi-Fi device, and a cgroup subtree shaped like a
// desktop's), each user's real collector daemon with the kernel source on its own bus and home,
// and the usage rows that end up in each user's database.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <nlohmann/json.hpp>

#include <memory>
#include <sstream>

#include "support/ChildProcesses.h"
#include "support/StandInNetworkManager.h"
#include "support/TestEnvironment.h"
#include "support/TrafficWorld.h"
#include "support/UserCollector.h"

namespace {

constexpr int kNobody = 65534;
const std::string browserScope =
    "user.slice/user-0.slice/user@0.service/app.slice/app-gnome-org.example.Browser-42.scope";
const std::string mailScope =
    "user.slice/user-65534.slice/user@65534.service/app.slice/app-gnome-org.example.Mail-7.scope";
// A system service, which every user sees by its unit's name.
const std::string serviceCgroup = "system.slice/packagekit.service";

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
