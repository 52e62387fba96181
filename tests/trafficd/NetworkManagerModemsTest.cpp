// NetworkManager's modems as cellular: a fake NetworkManager on a private bus of the test's own.
#include "InterfaceKinds.h"
#include "Log.h"
#include "NetworkManagerModems.h"
#include "support/ChildProcesses.h"

#include <gtest/gtest.h>
#include <sdbus-c++/sdbus-c++.h>

#include <sys/socket.h>
#include <sys/un.h>

#include <filesystem>
#include <fstream>

using namespace bytarn::trafficd;
namespace fs = std::filesystem;

namespace {

const char* const managerName = "org.freedesktop.NetworkManager";

// GetDevices and each device's org.freedesktop.NetworkManager.Device properties, as
// NetworkManager serves them; one listed device does not exist and one has a DeviceType of the
// wrong D-Bus type.
class FakeNetworkManager {
  public:
    explicit FakeNetworkManager(const std::string& address)
        : connection_(sdbus::createSessionBusConnectionWithAddress(address)) {
        const std::string devices = "/org/freedesktop/NetworkManager/Devices/";
        auto& manager = objects_.emplace_back(
            sdbus::createObject(*connection_, "/org/freedesktop/NetworkManager"));
        manager->registerMethod("GetDevices").onInterface(managerName).implementedAs([devices] {
            return std::vector<sdbus::ObjectPath>{devices + "1", devices + "2", devices + "3",
                                                  devices + "9"};
        });
        device(devices + "1", uint32_t{8}, "cdc-wdm0", "wwan0");  // a modem
        device(devices + "2", uint32_t{1}, "eth0", "eth0");       // an ethernet
        device(devices + "3", std::string("8"), "odd0", "odd0");
        for (auto& object : objects_) object->finishRegistration();
        connection_->enterEventLoopAsync();
    }
    ~FakeNetworkManager() {
        connection_->leaveEventLoop();
        objects_.clear();
    }
    void run() { connection_->requestName(managerName); }

  private:
    template <typename Type>
    void device(const std::string& path, Type type, std::string interface,
                std::string ipInterface) {
        auto& object = objects_.emplace_back(sdbus::createObject(*connection_, path));
        const char* device = "org.freedesktop.NetworkManager.Device";
        object->registerProperty("DeviceType").onInterface(device).withGetter([type] {
            return type;
        });
        object->registerProperty("Interface").onInterface(device).withGetter([interface] {
            return interface;
        });
        object->registerProperty("IpInterface").onInterface(device).withGetter([ipInterface] {
            return ipInterface;
        });
    }

    std::unique_ptr<sdbus::IConnection> connection_;
    std::vector<std::unique_ptr<sdbus::IObject>> objects_;
};

}  // namespace

TEST(TrafficdKinds, NetworkManagerModemsAreCellularAfterRulesAndBeforeSysfs) {
    if (!programInstalled("dbus-daemon")) GTEST_SKIP() << "needs dbus-daemon for a private bus";
    fs::path root = fs::temp_directory_path() / ("trafficd-nm-" + std::to_string(getpid()));
    fs::create_directories(root);
    PrivateBus bus(root.string());
    ASSERT_TRUE(bus.running());
    // sysfs knows all three only as plain links, except that eth0 has Wi-Fi's marker.
    for (const char* name : {"wwan0", "eth0", "odd0"}) {
        fs::create_directories(root / "net" / name);
        std::ofstream(root / "net" / name / "type") << "1\n";
    }
    fs::create_directories(root / "net" / "eth0" / "wireless");
    const std::vector<InterfaceRule> rules{{"wwan0", InterfaceKind::unknown}};

    setLogCapture(true);
    NetworkManagerModems noBus("unix:path=" + (root / "no-bus").string());
    NetworkManagerModems modems(bus.address(), std::chrono::seconds(5), {});  // no cache
    FakeNetworkManager networkManager(bus.address());
    for (auto* source : {&noBus, &modems})  // not running yet, or no bus at all: sysfs only
        EXPECT_EQ(classifyInterface("wwan0", {}, root / "net", source), InterfaceKind::unknown);

    networkManager.run();
    struct Case {
        const char* name;
        const std::vector<InterfaceRule>& rules;
        InterfaceKind kind;
    };
    const Case cases[] = {
        {"wwan0", {}, InterfaceKind::cellular},     // the modem's IpInterface
        {"cdc-wdm0", {}, InterfaceKind::cellular},  // its Interface
        {"eth0", {}, InterfaceKind::wifi},          // not a modem: its sysfs kind
        {"odd0", {}, InterfaceKind::unknown},       // DeviceType of the wrong type
        {"wwan0", rules, InterfaceKind::unknown},   // a rule still wins
    };
    for (const auto& c : cases)
        EXPECT_EQ(classifyInterface(c.name, c.rules, root / "net", &modems), c.kind) << c.name;
    // Neither a missing bus nor a missing NetworkManager nor an odd device is worth a line.
    EXPECT_EQ(takeCapturedLog(), std::vector<std::string>{});

    // A bus that takes the connection and never answers: no modems once the wait is over, and
    // a line that says so (without the bound, the call would outlast the test's timeout).
    int hung = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", (root / "hung").c_str());
    ASSERT_EQ(bind(hung, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(hung, 4), 0);
    {
        NetworkManagerModems hungBus("unix:path=" + (root / "hung").string(),
                                     std::chrono::milliseconds(200));
        EXPECT_EQ(classifyInterface("wwan0", {}, root / "net", &hungBus), InterfaceKind::unknown);
    }
    close(hung);  // resets the connection that was never accepted
    auto log = takeCapturedLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_NE(log[0].find("did not answer"), std::string::npos) << log[0];
    setLogCapture(false);
    fs::remove_all(root);
}
