#pragma once

// A stand-in for NetworkManager on a private bus of the test's own, with only what the traffic
// helper uses of its real D-Bus API: GetDevices, the DeviceAdded and DeviceRemoved signals, and
// each device's DeviceType, Interface, IpInterface and Metered properties, whose changes it
// announces with org.freedesktop.DBus.Properties.PropertiesChanged. Its bus connection runs on a
// thread of its own; every change is made there.

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

class StandInNetworkManager {
  public:
    static constexpr const char* kName = "org.freedesktop.NetworkManager";
    static constexpr const char* kPath = "/org/freedesktop/NetworkManager";
    static constexpr const char* kDevice = "org.freedesktop.NetworkManager.Device";
    // NMDeviceType and NMMetered values.
    static constexpr uint32_t kEthernet = 1, kWifi = 2, kModem = 8;
    static constexpr uint32_t kMeteredYes = 1, kMeteredNo = 2, kMeteredGuessYes = 3;

    struct Device {
        std::string interface, ipInterface;
        uint32_t type = kEthernet, metered = 0;
    };

    explicit StandInNetworkManager(const std::string& busAddress)
        : connection_(sdbus::createSessionBusConnectionWithAddress(busAddress)),
          wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
        manager_ = sdbus::createObject(*connection_, kPath);
        manager_->registerMethod("GetDevices").onInterface(kName).implementedAs([this] {
            std::vector<sdbus::ObjectPath> paths;
            for (const auto& [number, object] : devices_) paths.push_back(pathOf(number));
            return paths;
        });
        manager_->registerSignal("DeviceAdded")
            .onInterface(kName)
            .withParameters<sdbus::ObjectPath>();
        manager_->registerSignal("DeviceRemoved")
            .onInterface(kName)
            .withParameters<sdbus::ObjectPath>();
        manager_->finishRegistration();
        loop_ = std::thread([this] { run(); });
    }
    ~StandInNetworkManager() {
        onLoop([this] { stopping_ = true; });
        loop_.join();
        devices_.clear();
        manager_.reset();
        close(wake_);
    }
    StandInNetworkManager(const StandInNetworkManager&) = delete;
    StandInNetworkManager& operator=(const StandInNetworkManager&) = delete;

    // Takes NetworkManager's name (as it does when it starts), or gives it up (as when it stops).
    void start() {
        onLoop([this] { connection_->requestName(kName); });
    }
    void stop() {
        onLoop([this] { connection_->releaseName(kName); });
    }

    // A device numbered `number`; announced with DeviceAdded.
    void addDevice(int number, const Device& device) {
        onLoop([this, number, device] {
            state_[number] = device;
            auto object = sdbus::createObject(*connection_, pathOf(number));
            Device* facts = &state_[number];
            object->registerProperty("DeviceType").onInterface(kDevice).withGetter([facts] {
                return facts->type;
            });
            object->registerProperty("Interface").onInterface(kDevice).withGetter([facts] {
                return facts->interface;
            });
            object->registerProperty("IpInterface").onInterface(kDevice).withGetter([facts] {
                return facts->ipInterface;
            });
            object->registerProperty("Metered").onInterface(kDevice).withGetter(
                [facts] { return facts->metered; });
            object->finishRegistration();
            devices_[number] = std::move(object);
            manager_->emitSignal("DeviceAdded")
                .onInterface(kName)
                .withArguments(sdbus::ObjectPath(pathOf(number)));
        });
    }
    void removeDevice(int number) {
        onLoop([this, number] {
            devices_.erase(number);
            state_.erase(number);
            manager_->emitSignal("DeviceRemoved")
                .onInterface(kName)
                .withArguments(sdbus::ObjectPath(pathOf(number)));
        });
    }
    // Changes a device's Metered and announces it, as NetworkManager does.
    void setMetered(int number, uint32_t metered) {
        onLoop([this, number, metered] {
            state_[number].metered = metered;
            devices_.at(number)->emitPropertiesChangedSignal(kDevice, {"Metered"});
        });
    }

  private:
    static std::string pathOf(int number) {
        return std::string(kPath) + "/Devices/" + std::to_string(number);
    }

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
    std::unique_ptr<sdbus::IObject> manager_;
    std::map<int, std::unique_ptr<sdbus::IObject>> devices_;
    std::map<int, Device> state_;  // node-based: the getters keep pointers into it
    int wake_;
    std::mutex mutex_;
    std::deque<std::packaged_task<void()>> tasks_;
    bool stopping_ = false;
    std::thread loop_;
};
