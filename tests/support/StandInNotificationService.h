#pragma once

// A stand-in for the desktop's notification service on a private bus of the test's own, with
// what the collector uses of org.freedesktop.Notifications: Notify, and the ActionInvoked and
// NotificationClosed signals. It records every Notify. Its bus connection runs on a thread of
// its own; every change is made there.

#include <unistd.h>

#include <sdbus-c++/sdbus-c++.h>

#include "support/BusServiceLoop.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class StandInNotificationService {
  public:
    static constexpr const char* kName = "org.freedesktop.Notifications";
    static constexpr const char* kPath = "/org/freedesktop/Notifications";

    struct Received {
        std::uint32_t id = 0;
        std::string appName, icon, summary, body;
        std::vector<std::string> actions;
        int urgency = -1;  // the "urgency" hint, -1 when missing
        std::string desktopEntry;
        std::int32_t expireTimeout = 0;
    };

    explicit StandInNotificationService(const std::string& busAddress) : loop_(busAddress) {
        object_ = sdbus::createObject(loop_.connection(), kPath);
        object_->registerMethod("Notify").onInterface(kName).implementedAs(
            [this](const std::string& appName, std::uint32_t, const std::string& icon,
                   const std::string& summary, const std::string& body,
                   const std::vector<std::string>& actions,
                   const std::map<std::string, sdbus::Variant>& hints, std::int32_t timeout) {
                Received notification{++lastId_, appName, icon, summary, body,
                                      actions,   -1,      "",   timeout};
                if (auto urgency = hints.find("urgency"); urgency != hints.end())
                    notification.urgency = urgency->second.get<std::uint8_t>();
                if (auto entry = hints.find("desktop-entry"); entry != hints.end())
                    notification.desktopEntry = entry->second.get<std::string>();
                std::lock_guard lock(mutex_);
                received_.push_back(notification);
                return notification.id;
            });
        object_->registerSignal("ActionInvoked")
            .onInterface(kName)
            .withParameters<std::uint32_t, std::string>();
        object_->registerSignal("NotificationClosed")
            .onInterface(kName)
            .withParameters<std::uint32_t, std::uint32_t>();
        object_->finishRegistration();
        loop_.start();
    }
    ~StandInNotificationService() {
        loop_.stop();
        object_.reset();
    }
    StandInNotificationService(const StandInNotificationService&) = delete;
    StandInNotificationService& operator=(const StandInNotificationService&) = delete;

    // Takes the service's name, as a notification daemon does when it starts.
    void start() {
        loop_.run([this] { loop_.connection().requestName(kName); });
    }

    // Every Notify so far, oldest first.
    std::vector<Received> received() {
        std::lock_guard lock(mutex_);
        return received_;
    }

    // What the service sends when the user clicks an action, or closes a notification.
    void invokeAction(std::uint32_t id, const std::string& action) {
        loop_.run([this, id, action] {
            object_->emitSignal("ActionInvoked").onInterface(kName).withArguments(id, action);
        });
    }
    void closeNotification(std::uint32_t id, std::uint32_t reason = 2) {
        loop_.run([this, id, reason] {
            object_->emitSignal("NotificationClosed").onInterface(kName).withArguments(id, reason);
        });
    }

  private:
    BusServiceLoop loop_;  // first: it outlives the objects it serves
    std::unique_ptr<sdbus::IObject> object_;
    std::uint32_t lastId_ = 0;  // the connection's thread only
    std::vector<Received> received_;
    std::mutex mutex_;
};
