#pragma once

// A stand-in for the desktop's notification service on a private bus of the test's own, with
// what the collector uses of org.freedesktop.Notifications: Notify, and the ActionInvoked and
// NotificationClosed signals. It records every Notify. Its bus connection runs on a thread of
// its own; every change is made there.

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <sdbus-c++/sdbus-c++.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
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

    explicit StandInNotificationService(const std::string& busAddress)
        : connection_(sdbus::createSessionBusConnectionWithAddress(busAddress)),
          wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
        object_ = sdbus::createObject(*connection_, kPath);
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
        loop_ = std::thread([this] { run(); });
    }
    ~StandInNotificationService() {
        onLoop([this] { stopping_ = true; });
        loop_.join();
        object_.reset();
        close(wake_);
    }
    StandInNotificationService(const StandInNotificationService&) = delete;
    StandInNotificationService& operator=(const StandInNotificationService&) = delete;

    // Takes the service's name, as a notification daemon does when it starts.
    void start() {
        onLoop([this] { connection_->requestName(kName); });
    }

    // Every Notify so far, oldest first.
    std::vector<Received> received() {
        std::lock_guard lock(mutex_);
        return received_;
    }

    // What the service sends when the user clicks an action, or closes a notification.
    void invokeAction(std::uint32_t id, const std::string& action) {
        onLoop([this, id, action] {
            object_->emitSignal("ActionInvoked").onInterface(kName).withArguments(id, action);
        });
    }
    void closeNotification(std::uint32_t id, std::uint32_t reason = 2) {
        onLoop([this, id, reason] {
            object_->emitSignal("NotificationClosed").onInterface(kName).withArguments(id, reason);
        });
    }

  private:
    // Runs `task` on the connection's thread and waits for it.
    void onLoop(std::function<void()> task) {
        std::packaged_task<void()> packaged(std::move(task));
        auto done = packaged.get_future();
        {
            std::lock_guard lock(mutex_);
            tasks_.push_back(std::move(packaged));
        }
        uint64_t one = 1;
        [[maybe_unused]] auto written = write(wake_, &one, sizeof one);
        done.get();
    }

    void run() {
        while (!stopping_) {
            while (connection_->processPendingRequest()) {
            }
            std::deque<std::packaged_task<void()>> tasks;
            {
                std::lock_guard lock(mutex_);
                tasks.swap(tasks_);
            }
            for (auto& task : tasks) task();
            if (!tasks.empty()) continue;  // a task may have queued messages
            auto wait = connection_->getEventLoopPollData();
            pollfd fds[2] = {{wait.fd, wait.events, 0}, {wake_, POLLIN, 0}};
            poll(fds, 2, 100);
            uint64_t count = 0;
            if (fds[1].revents) {
                [[maybe_unused]] auto got = read(wake_, &count, sizeof count);
            }
        }
    }

    std::unique_ptr<sdbus::IConnection> connection_;
    std::unique_ptr<sdbus::IObject> object_;
    int wake_;
    std::uint32_t lastId_ = 0;  // the connection's thread only
    std::vector<Received> received_;
    std::mutex mutex_;
    std::deque<std::packaged_task<void()>> tasks_;
    bool stopping_ = false;  // the connection's thread only
    std::thread loop_;
};
