// The interfaces that NetworkManager names as its modems' (device type "modem"), asked on the
// system bus when NetworkManager runs there. A modem's data link is usually the device's
// IpInterface (wwan0, ppp0); its Interface is the control port.
#pragma once

#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <thread>

namespace bytarn::trafficd {

class NetworkManagerModems {
  public:
    // On the system bus: DBUS_SYSTEM_BUS_ADDRESS when set (tests), else its usual socket. The
    // caller waits at most `budget` for an answer; an answer serves for `cacheFor`.
    explicit NetworkManagerModems(std::chrono::milliseconds budget = std::chrono::milliseconds(500),
                                  std::chrono::milliseconds cacheFor = std::chrono::seconds(3));
    ~NetworkManagerModems();
    NetworkManagerModems(const NetworkManagerModems&) = delete;
    NetworkManagerModems& operator=(const NetworkManagerModems&) = delete;

    // Whether a modem device of NetworkManager names this interface. No bus, no NetworkManager,
    // no answer in time or a reply that cannot be read: no modems.
    bool namesModemInterface(const std::string& interface);

  private:
    struct Shared;  // between the caller and the thread that asks

    // The bus is asked on a thread of its own: opening a connection waits for the bus daemon
    // without a bound of ours, and a hung bus must not hold up the readings.
    std::shared_ptr<Shared> shared_;
    std::thread asker_;
    std::chrono::milliseconds budget_, cacheFor_;
    std::set<std::string> modemInterfaces_;
    std::chrono::steady_clock::time_point askedAt_;
    bool asked_ = false;
    std::string lastProblem_;  // logged again only when it changes
};

}  // namespace bytarn::trafficd
