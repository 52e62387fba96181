// NetworkManager's modems as cellular: a fake NetworkManager on a private bus of the test's own.
#include "support/ChildProcesses.h"
#include "trafficd/Log.h"
#include "trafficd/networks/InterfaceKinds.h"
#include "trafficd/networks/NetworkManagerModems.h"

#include <gtest/gtest.h>
#include <sdbus-c++/sdbus-c++.h>

#include <sys/socket.h>
#include <sys/un.h>

#include <filesystem>

using namespace bytarn::trafficd;
namespace fs = std::filesystem;

namespace {

// GetDevices and each device's properties, as NetworkManager serves them: a modem, an ethernet,
// and a listed device that does not exist.
class FakeNetworkManager {
  public:
    explicit FakeNetworkManager(const std::string& address)
        : connection_(sdbus::createSessionBusConnectionWithAddress(address)) {
        const std::string prefix = "/org/freedesktop/NetworkManager/Devices/";
        objects_.push_back(sdbus::createObject(*connection_, "/org/freedesktop/NetworkManager"));
        objects_[0]->registerMethod("GetDevices").onInterface(name).implementedAs([prefix] {
            return std::vector<sdbus::ObjectPath>{prefix + "1", prefix + "2", prefix + "9"};
        });
        struct Device {
            std::string path, interface, ipInterface;
            uint32_t type;
        };
        for (const auto& d :
             {Device{"1", "cdc-wdm0", "wwan0", 8}, Device{"2", "eth0", "eth0", 1}}) {
            auto& object =
                objects_.emplace_back(sdbus::createObject(*connection_, prefix + d.path));
            const std::string device = name + std::string(".Device");
            object->registerProperty("DeviceType").onInterface(device).withGetter([d] {
                return d.type;
            });
            object->registerProperty("Interface").onInterface(device).withGetter([d] {
                return d.interface;
            });
            object->registerProperty("IpInterface").onInterface(device).withGetter([d] {
                return d.ipInterface;
            });
        }
        for (auto& object : objects_) object->finishRegistration();
        connection_->enterEventLoopAsync();
    }
    ~FakeNetworkManager() { connection_->leaveEventLoop(); }
    void run() { connection_->requestName(name); }

  private:
    static constexpr const char* name = "org.freedesktop.NetworkManager";
    std::unique_ptr<sdbus::IConnection> connection_;
    std::vector<std::unique_ptr<sdbus::IObject>> objects_;  // go before the connection
};

}  // namespace

TEST(TrafficdKinds, NetworkManagerModemsAreCellularAfterRulesAndBeforeSysfs) {
    if (!programInstalled("dbus-daemon")) GTEST_SKIP() << "needs dbus-daemon for a private bus";
    fs::path root = fs::temp_directory_path() / ("trafficd-nm-" + std::to_string(getpid()));
    fs::create_directories(root);
    PrivateBus bus(root.string());
    ASSERT_TRUE(bus.running());
    // sysfs: wwan0 a plain link, eth0 with Wi-Fi's marker.
    fs::create_directories(root / "net" / "wwan0");
    fs::create_directories(root / "net" / "eth0" / "wireless");
    const std::vector<InterfaceRule> rules{{"wwan0", InterfaceKind::unknown}};

    // Each question reads the system bus's address; the threads that ask are idle when it changes.
    auto systemBus = [](const std::string& address) {
        setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
    };
    setLogCapture(true);
    const std::chrono::seconds budget(5);
    NetworkManagerModems noBus(budget), modems(budget, {});  // no cache
    FakeNetworkManager networkManager(bus.address());
    systemBus("unix:path=" + (root / "no-bus").string());
    EXPECT_EQ(classifyInterface("wwan0", {}, root / "net", &noBus), InterfaceKind::unknown);
    systemBus(bus.address());  // NetworkManager not running yet: sysfs only
    EXPECT_EQ(classifyInterface("wwan0", {}, root / "net", &modems), InterfaceKind::unknown);

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
        {"wwan0", rules, InterfaceKind::unknown},   // a rule still wins
    };
    for (const auto& c : cases)
        EXPECT_EQ(classifyInterface(c.name, c.rules, root / "net", &modems), c.kind) << c.name;
    // Neither a missing bus nor a missing NetworkManager nor a missing device is worth a line.
    EXPECT_EQ(takeCapturedLog(), std::vector<std::string>{});

    // A bus that takes the connection and never answers: no modems once the wait is over, and
    // a line that says so (without the bound, the call would outlast the test's timeout).
    int hung = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", (root / "hung").c_str());
    ASSERT_EQ(bind(hung, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(hung, 4), 0);
    systemBus("unix:path=" + (root / "hung").string());
    {
        NetworkManagerModems hungBus(std::chrono::milliseconds(200));
        EXPECT_EQ(classifyInterface("wwan0", {}, root / "net", &hungBus), InterfaceKind::unknown);
    }
    close(hung);  // resets the connection that was never accepted
    unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    auto log = takeCapturedLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_NE(log[0].find("did not answer"), std::string::npos) << log[0];
    setLogCapture(false);
    fs::remove_all(root);
}
