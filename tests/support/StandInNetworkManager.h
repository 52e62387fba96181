#pragma once

// A stand-in for NetworkManager on a private bus of the test's own, with only what the traffic
// helper uses of its real D-Bus API: GetDevices, the DeviceAdded and DeviceRemoved signals, and
// each device's DeviceType, Interface, IpInterface and Metered properties, whose changes it
// announces with org.freedesktop.DBus.Properties.PropertiesChanged. Its bus connection runs on a
// thread of its own; every change is made there.

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

    explicit StandInNetworkManager(const std::string& busAddress) : loop_(busAddress) {
        manager_ = sdbus::createObject(loop_.connection(), kPath);
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
        loop_.start();
    }
    ~StandInNetworkManager() {
        loop_.stop();
        devices_.clear();
        manager_.reset();
    }
    StandInNetworkManager(const StandInNetworkManager&) = delete;
    StandInNetworkManager& operator=(const StandInNetworkManager&) = delete;

    // Takes NetworkManager's name (as it does when it starts), or gives it up (as when it stops).
    void start() {
        loop_.run([this] { loop_.connection().requestName(kName); });
    }
    void stop() {
        loop_.run([this] { loop_.connection().releaseName(kName); });
    }

    // A device numbered `number`; announced with DeviceAdded.
    void addDevice(int number, const Device& device) {
        loop_.run([this, number, device] {
            state_[number] = device;
            auto object = sdbus::createObject(loop_.connection(), pathOf(number));
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
        loop_.run([this, number] {
            devices_.erase(number);
            state_.erase(number);
            manager_->emitSignal("DeviceRemoved")
                .onInterface(kName)
                .withArguments(sdbus::ObjectPath(pathOf(number)));
        });
    }
    // Changes a device's Metered and announces it, as NetworkManager does.
    void setMetered(int number, uint32_t metered) {
        loop_.run([this, number, metered] {
            state_[number].metered = metered;
            devices_.at(number)->emitPropertiesChangedSignal(kDevice, {"Metered"});
        });
    }

  private:
    BusServiceLoop loop_;  // first: it outlives the objects it serves
    static std::string pathOf(int number) {
        return std::string(kPath) + "/Devices/" + std::to_string(number);
    }

    std::unique_ptr<sdbus::IObject> manager_;
    std::map<int, std::unique_ptr<sdbus::IObject>> devices_;
    std::map<int, Device> state_;  // node-based: the getters keep pointers into it
};
