// What NetworkManager says about the interfaces, followed live on the system bus: each device's
// type (a modem's interfaces are cellular) and whether it is metered (a phone's hotspot, USB
// tethering, a connection the user marked metered).
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <thread>

namespace bytarn::trafficd {

// NetworkManager's NMMetered and the one NMDeviceType value the helper needs.
enum : uint32_t {
    meteredUnknown = 0,
    meteredYes = 1,
    meteredNo = 2,
    meteredGuessYes = 3,
    meteredGuessNo = 4,
    modemDeviceType = 8,
};

struct NetworkManagerDevice {
    uint32_t type = 0;
    uint32_t metered = meteredUnknown;
    bool operator==(const NetworkManagerDevice&) const = default;
};

// One answer: by interface name (a device's Interface and its IpInterface both name it).
struct NetworkManagerView {
    bool running = false;  // NetworkManager owns its name on the bus and answered
    std::string absence;   // when not running: why ("no system bus", ...), for the log
    std::map<std::string, NetworkManagerDevice> interfaces;
    bool operator==(const NetworkManagerView&) const = default;
};

// Follows NetworkManager on a thread of its own: it asks once at the start and again, about every
// device, whenever NetworkManager's name changes owner, a device is added or removed, or a
// device's Metered, DeviceType, Interface or IpInterface changes. Nothing wakes while nothing
// changes.
class NetworkManagerDevices {
  public:
    // On the system bus: DBUS_SYSTEM_BUS_ADDRESS when set (tests), else its usual socket. Each
    // call to NetworkManager is bounded by `callBound`.
    explicit NetworkManagerDevices(
        std::chrono::milliseconds callBound = std::chrono::milliseconds(500));
    ~NetworkManagerDevices();
    NetworkManagerDevices(const NetworkManagerDevices&) = delete;
    NetworkManagerDevices& operator=(const NetworkManagerDevices&) = delete;

    // Readable when the view has changed since the last view(); for the helper's poll.
    int changesFd() const { return changesFd_; }
    // The latest answer; empties changesFd. Not running until the first answer.
    NetworkManagerView view();
    // Waits up to `bound` for the first answer; false when none came (a bus that hangs).
    bool waitForFirstAnswer(std::chrono::milliseconds bound);

  private:
    struct Shared;  // between the caller and the thread that follows the bus

    std::shared_ptr<Shared> shared_;
    std::thread follower_;
    int changesFd_ = -1;
};

}  // namespace bytarn::trafficd
