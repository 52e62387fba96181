#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace sdbus {
class IProxy;
}

// A client of the desktop's notification service: org.freedesktop.Notifications on the session
// bus, as freedesktop.org's desktop notifications protocol describes it (Notify, and the
// ActionInvoked and NotificationClosed signals). Used from the main thread only. The connection is
// made at the first notify() and again after a failed one; its signals arrive on sdbus-c++'s thread
// of the connection and are handed to the main run loop, so the handlers run on the main thread.
class DesktopNotifications {
  public:
    static constexpr const char* kService = "org.freedesktop.Notifications";
    static constexpr const char* kPath = "/org/freedesktop/Notifications";
    // How long Notify may take before the service counts as missing.
    static constexpr std::uint64_t kCallTimeoutMicroseconds = 5'000'000;

    // The "urgency" hint's values.
    enum class Urgency : std::uint8_t { Low = 0, Normal = 1, Critical = 2 };

    struct Notification {
        std::string appName;
        std::string icon;     // an icon name of the theme, or a file:// URI
        std::string summary;  // plain text
        std::string body;     // may hold the protocol's small markup; escape what is text
        // Pairs of action key and label; "default" is the click on the notification itself.
        std::vector<std::pair<std::string, std::string>> actions;
        Urgency urgency = Urgency::Normal;
        std::string desktopEntry;  // the "desktop-entry" hint: the sender's entry without .desktop
        std::int32_t expireTimeoutMilliseconds = -1;  // -1: the service's own choice
    };

    using ActionHandler = std::function<void(std::uint32_t id, const std::string& action)>;
    using ClosedHandler = std::function<void(std::uint32_t id, std::uint32_t reason)>;

    // The session bus, or the bus at `busAddress` when one is given.
    explicit DesktopNotifications(std::string busAddress = {});
    ~DesktopNotifications();
    DesktopNotifications(const DesktopNotifications&) = delete;
    DesktopNotifications& operator=(const DesktopNotifications&) = delete;

    // Called on the main run loop for every ActionInvoked and NotificationClosed the service
    // sends, whoever's notification it is: the service numbers its notifications for all
    // clients, so a handler checks the id against those it was given.
    void setActionHandler(ActionHandler handler);
    void setClosedHandler(ClosedHandler handler);

    // Shows the notification; the service's id for it, or nothing when there is no bus, no
    // service or the call failed. The first failure after a success (or since the start) is
    // logged, the others are not, so a desktop without the service gets one line.
    std::optional<std::uint32_t> notify(const Notification& notification);

    struct Handlers;

  private:
    bool connect();
    void unavailable(const std::string& reason);

    std::string busAddress_;
    std::shared_ptr<Handlers> handlers_;  // held weakly by the work queued from signals
    std::unique_ptr<sdbus::IProxy> proxy_;
    bool unavailableLogged_ = false;
};
