#include "collector/alerts/DesktopNotifications.h"

#include <sdbus-c++/sdbus-c++.h>

#include <map>

#include "host/foundation/RunLoop.h"
#include "host/foundation/SystemLog.h"

struct DesktopNotifications::Handlers {
    ActionHandler action;
    ClosedHandler closed;
};

namespace {

std::string describe(const std::exception& error) {
    if (auto* bus = dynamic_cast<const sdbus::Error*>(&error))
        return bus->getName() + ": " + bus->getMessage();
    return error.what();
}

}  // namespace

DesktopNotifications::DesktopNotifications(std::string busAddress)
    : busAddress_(std::move(busAddress)), handlers_(std::make_shared<Handlers>()) {}

DesktopNotifications::~DesktopNotifications() {
    // Ends the connection's thread; work it queued finds the handlers gone.
    proxy_.reset();
}

void DesktopNotifications::setActionHandler(ActionHandler handler) {
    handlers_->action = std::move(handler);
}

void DesktopNotifications::setClosedHandler(ClosedHandler handler) {
    handlers_->closed = std::move(handler);
}

bool DesktopNotifications::connect() {
    if (proxy_) return true;
    try {
        auto connection = busAddress_.empty()
                              ? sdbus::createSessionBusConnection()
                              : sdbus::createSessionBusConnectionWithAddress(busAddress_);
        // The proxy owns the connection and runs its event loop on a thread of its own.
        auto proxy = sdbus::createProxy(std::move(connection), kService, kPath);
        std::weak_ptr<Handlers> handlers = handlers_;
        proxy->uponSignal("ActionInvoked")
            .onInterface(kService)
            .call([handlers](std::uint32_t id, const std::string& action) {
                RunLoop::main().perform([handlers, id, action] {
                    if (auto live = handlers.lock(); live && live->action) live->action(id, action);
                });
            });
        proxy->uponSignal("NotificationClosed")
            .onInterface(kService)
            .call([handlers](std::uint32_t id, std::uint32_t reason) {
                RunLoop::main().perform([handlers, id, reason] {
                    if (auto live = handlers.lock(); live && live->closed) live->closed(id, reason);
                });
            });
        proxy->finishRegistration();
        proxy_ = std::move(proxy);
        return true;
    } catch (const std::exception& error) {
        unavailable("cannot connect to the " +
                    (busAddress_.empty() ? std::string("session bus") : busAddress_) + ": " +
                    describe(error));
        return false;
    }
}

std::optional<std::uint32_t> DesktopNotifications::notify(const Notification& notification) {
    if (!connect()) return std::nullopt;
    std::vector<std::string> actions;
    for (const auto& [key, label] : notification.actions) {
        actions.push_back(key);
        actions.push_back(label);
    }
    std::map<std::string, sdbus::Variant> hints;
    hints["urgency"] = sdbus::Variant(static_cast<std::uint8_t>(notification.urgency));
    if (!notification.desktopEntry.empty())
        hints["desktop-entry"] = sdbus::Variant(notification.desktopEntry);
    try {
        std::uint32_t id = 0;
        proxy_->callMethod("Notify")
            .onInterface(kService)
            .withTimeout(kCallTimeoutMicroseconds)
            .withArguments(notification.appName, std::uint32_t{0}, notification.icon,
                           notification.summary, notification.body, actions, hints,
                           notification.expireTimeoutMilliseconds)
            .storeResultsTo(id);
        if (unavailableLogged_)
            SystemLog::writef("DesktopNotifications: %s answers again", kService);
        unavailableLogged_ = false;
        return id;
    } catch (const std::exception& error) {
        // A lost bus leaves a dead connection: the next notify() makes a new one.
        proxy_.reset();
        unavailable(describe(error));
        return std::nullopt;
    }
}

void DesktopNotifications::unavailable(const std::string& reason) {
    if (unavailableLogged_) return;
    unavailableLogged_ = true;
    SystemLog::writef(
        "DesktopNotifications: no desktop notification service (%s: %s); notifications wait "
        "until one answers",
        kService, reason.c_str());
}
