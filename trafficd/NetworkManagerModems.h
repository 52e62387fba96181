// The interfaces that NetworkManager names as its modems' (device type "modem"), asked on the
// system bus when NetworkManager runs there. A modem's data link is usually the device's
// IpInterface (wwan0, ppp0); its Interface is the control port.
#pragma once

#include <chrono>
#include <set>
#include <string>

namespace bytarn::trafficd {

class NetworkManagerModems {
  public:
    // busAddress empty: the system bus (DBUS_SYSTEM_BUS_ADDRESS, else its usual socket). One
    // question (connect, NameHasOwner, GetDevices, each device's properties) takes at most
    // `budget`; its answer serves for `cacheFor`.
    explicit NetworkManagerModems(std::string busAddress = {},
                                  std::chrono::milliseconds budget = std::chrono::milliseconds(500),
                                  std::chrono::milliseconds cacheFor = std::chrono::seconds(3));

    // Whether a modem device of NetworkManager names this interface. No bus, no NetworkManager
    // or a reply that cannot be read: no modems.
    bool namesModemInterface(const std::string& interface);

  private:
    std::set<std::string> ask();

    std::string busAddress_;
    std::chrono::milliseconds budget_, cacheFor_;
    std::set<std::string> modemInterfaces_;
    std::chrono::steady_clock::time_point askedAt_;
    bool asked_ = false;
    std::string lastProblem_;  // logged again only when it changes
};

}  // namespace bytarn::trafficd
