// NetworkManager's metered devices and modems as cellular, followed live: a stand-in
// NetworkManager on a private bus of the test's own, and the order in which the kind is decided.
#include "support/ChildProcesses.h"
#include "support/StandInNetworkManager.h"
#include "trafficd/Log.h"
#include "trafficd/networks/InterfaceKinds.h"
#include "trafficd/networks/NetworkManagerDevices.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <filesystem>
#include <fstream>

using namespace bytarn::trafficd;
namespace fs = std::filesystem;

namespace {

// Whether the helper's poll would wake for a change within `seconds`.
bool changeSignalled(const NetworkManagerDevices& devices, double seconds = 2) {
    pollfd entry{devices.changesFd(), POLLIN, 0};
    return poll(&entry, 1, static_cast<int>(seconds * 1000)) == 1;
}

}  // namespace

TEST(TrafficdKinds, DecisionOrderRulesThenMeteredThenModemThenSysfs) {
    fs::path sysfs = fs::temp_directory_path() / ("trafficd-order-" + std::to_string(getpid()));
    for (const char* wifi : {"wlan0", "wlan1", "wlan2", "wlan3", "wlan4"})
        fs::create_directories(sysfs / wifi / "wireless");
    fs::create_directories(sysfs / "usb0");
    fs::create_directories(sysfs / "ppp0");
    std::ofstream(sysfs / "ppp0" / "type") << "512\n";
    const auto rules = parseInterfaceRules("wlan4 wifi\nwwan1 unknown\n", "/etc/bytarn/interfaces");
    NetworkManagerView nm{true, "", {}};
    nm.interfaces = {
        {"wlan0", {2, meteredGuessYes}},  // a phone's hotspot
        {"wlan1", {2, meteredYes}},       // marked metered by the user
        {"wlan2", {2, meteredGuessNo}},   // home Wi-Fi
        {"wlan3", {2, meteredUnknown}},   //
        {"wlan4", {2, meteredYes}},       // a rule names it
        {"usb0", {1, meteredGuessYes}},   // USB tethering: an Ethernet-type link
        {"wwan0", {8, meteredNo}},        // a modem whose connection is marked not metered
        {"wwan1", {8, meteredYes}},       // a rule names it
        {"ppp0", {1, meteredNo}},         // sysfs still knows PPP links
        {"eth0", {1, meteredNo}},         // wired
    };
    struct Case {
        const char* name;
        InterfaceKind kind;
        const char* reason;
    };
    const Case cases[] = {
        {"wlan0", InterfaceKind::cellular, "metered (NetworkManager)"},
        {"wlan1", InterfaceKind::cellular, "metered (NetworkManager)"},
        {"wlan2", InterfaceKind::wifi, "Wi-Fi (sysfs)"},
        {"wlan3", InterfaceKind::wifi, "Wi-Fi (sysfs)"},
        {"wlan4", InterfaceKind::wifi, "rule line 1 of /etc/bytarn/interfaces"},
        {"usb0", InterfaceKind::cellular, "metered (NetworkManager)"},
        {"wwan0", InterfaceKind::cellular, "modem (NetworkManager)"},
        {"wwan1", InterfaceKind::unknown, "rule line 2 of /etc/bytarn/interfaces"},
        {"ppp0", InterfaceKind::cellular, "cellular (sysfs)"},
        {"eth0", InterfaceKind::unknown, "other"},
        {"lo", InterfaceKind::ignore, "loopback"},
    };
    for (const auto& c : cases) {
        auto classed = explainInterface(c.name, rules, sysfs, &nm);
        EXPECT_EQ(classed.kind, c.kind) << c.name;
        EXPECT_EQ(classed.reason, c.reason) << c.name;
    }
    // Without NetworkManager (or before it answers), today's kinds: sysfs.
    EXPECT_EQ(classifyInterface("wlan0", rules, sysfs), InterfaceKind::wifi);
    EXPECT_EQ(classifyInterface("usb0", rules, sysfs), InterfaceKind::unknown);

    // The same wlan0 at home, then on the train: every listed interface is classified again,
    // and only a real change counts as one.
    const std::vector<std::pair<unsigned, std::string>> present{{1, "lo"}, {3, "wlan0"}};
    InterfaceKinds kinds(
        rules, sysfs,
        [&](unsigned ifindex) -> std::optional<std::string> {
            for (const auto& [number, name] : present)
                if (number == ifindex) return name;
            return std::nullopt;
        },
        [&] { return present; });
    setLogCapture(true);
    NetworkManagerView home{true, "", {{"wlan0", {2, meteredGuessNo}}}};
    kinds.follow(home);
    EXPECT_TRUE(kinds.takeChanged());
    EXPECT_EQ(kinds.kindOf(3), InterfaceKind::wifi);
    kinds.follow(home);
    EXPECT_FALSE(kinds.takeChanged());
    kinds.follow(nm);
    EXPECT_TRUE(kinds.takeChanged());
    EXPECT_EQ(kinds.kindOf(3), InterfaceKind::cellular);
    auto listed = kinds.list();
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[1].name, "wlan0");
    EXPECT_EQ(listed[1].classed.reason, "metered (NetworkManager)");
    auto log = takeCapturedLog();
    setLogCapture(false);
    ASSERT_EQ(log.size(), 3u);  // lo and wlan0 once, then wlan0's change
    EXPECT_EQ(log[2], "interface wlan0 (3): cellular, metered (NetworkManager)");
    fs::remove_all(sysfs);
}

TEST(TrafficdKinds, NetworkManagerIsFollowedLiveThroughItsSignalsAndRestarts) {
    if (!programInstalled("dbus-daemon")) GTEST_SKIP() << "needs dbus-daemon for a private bus";
    fs::path root = fs::temp_directory_path() / ("trafficd-nm-" + std::to_string(getpid()));
    fs::create_directories(root);
    PrivateBus bus(root.string());
    ASSERT_TRUE(bus.running());
    // Each follower reads the system bus's address when it starts.
    auto systemBus = [](const std::string& address) {
        setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
    };
    const std::chrono::seconds bound(5);
    setLogCapture(true);
    systemBus("unix:path=" + (root / "no-bus").string());
    {
        NetworkManagerDevices noBus(bound);
        ASSERT_TRUE(noBus.waitForFirstAnswer(bound));
        EXPECT_EQ(noBus.view(), (NetworkManagerView{false, "no system bus", {}}));
    }

    StandInNetworkManager networkManager(bus.address());
    networkManager.addDevice(
        1, {"wlan0", "wlan0", StandInNetworkManager::kWifi, StandInNetworkManager::kMeteredNo});
    networkManager.addDevice(2, {"cdc-wdm0", "wwan0", StandInNetworkManager::kModem, 0});
    systemBus(bus.address());
    NetworkManagerDevices devices(bound);
    ASSERT_TRUE(devices.waitForFirstAnswer(bound));
    EXPECT_EQ(devices.view().absence, "NetworkManager is not running");

    // Each change wakes the helper's poll and shows in the next view.
    networkManager.start();  // its name gets an owner
    ASSERT_TRUE(changeSignalled(devices));
    auto view = devices.view();
    EXPECT_TRUE(view.running);
    EXPECT_EQ(view.interfaces.size(), 3u);  // wlan0, wwan0 and the modem's control port
    EXPECT_EQ(view.interfaces["wwan0"].type, StandInNetworkManager::kModem);
    EXPECT_FALSE(changeSignalled(devices, 0.3)) << "no change, no wake-up";

    networkManager.setMetered(1, StandInNetworkManager::kMeteredGuessYes);
    ASSERT_TRUE(changeSignalled(devices));
    EXPECT_EQ(devices.view().interfaces["wlan0"].metered, StandInNetworkManager::kMeteredGuessYes);

    networkManager.addDevice(3, {"usb0", "usb0", StandInNetworkManager::kEthernet,
                                 StandInNetworkManager::kMeteredGuessYes});
    ASSERT_TRUE(changeSignalled(devices));
    EXPECT_TRUE(devices.view().interfaces.contains("usb0"));
    networkManager.removeDevice(2);
    ASSERT_TRUE(changeSignalled(devices));
    EXPECT_FALSE(devices.view().interfaces.contains("wwan0"));

    // NetworkManager restarts: gone, then back with what it knows then.
    networkManager.stop();
    ASSERT_TRUE(changeSignalled(devices));
    EXPECT_EQ(devices.view(), (NetworkManagerView{false, "NetworkManager is not running", {}}));
    networkManager.setMetered(1, StandInNetworkManager::kMeteredNo);
    networkManager.start();
    ASSERT_TRUE(changeSignalled(devices));
    view = devices.view();
    EXPECT_TRUE(view.running);
    EXPECT_EQ(view.interfaces["wlan0"].metered, StandInNetworkManager::kMeteredNo);
    // Neither a missing bus nor a missing NetworkManager nor its restart is a problem to log.
    EXPECT_EQ(takeCapturedLog(), std::vector<std::string>{});

    // A bus that takes the connection and never answers: the first answer does not come, and
    // neither the wait nor the end waits for it.
    int hung = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", (root / "hung").c_str());
    ASSERT_EQ(bind(hung, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(hung, 4), 0);
    systemBus("unix:path=" + (root / "hung").string());
    auto start = std::chrono::steady_clock::now();
    {
        NetworkManagerDevices hungBus(std::chrono::milliseconds(200));
        EXPECT_FALSE(hungBus.waitForFirstAnswer(std::chrono::milliseconds(200)));
        EXPECT_FALSE(hungBus.view().running);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    close(hung);  // resets the connection that was never accepted
    unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    setLogCapture(false);
    fs::remove_all(root);
}
