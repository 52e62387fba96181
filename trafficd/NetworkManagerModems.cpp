#include "NetworkManagerModems.h"

#include "Log.h"

#include <sdbus-c++/sdbus-c++.h>

#include <map>
#include <optional>
#include <stdexcept>
#include <vector>

namespace bytarn::trafficd {

namespace {

constexpr const char* busName = "org.freedesktop.DBus";
constexpr const char* busPath = "/org/freedesktop/DBus";
constexpr const char* managerName = "org.freedesktop.NetworkManager";
constexpr const char* managerPath = "/org/freedesktop/NetworkManager";
constexpr const char* deviceInterface = "org.freedesktop.NetworkManager.Device";
constexpr const char* propertiesInterface = "org.freedesktop.DBus.Properties";
constexpr uint32_t modemDeviceType = 8;  // NM_DEVICE_TYPE_MODEM

// No bus or no NetworkManager on it is an ordinary machine, not a problem to log.
struct NothingToAsk {};

// A property of the expected D-Bus type, else nothing.
template <typename Value>
std::optional<Value> property(const std::map<std::string, sdbus::Variant>& properties,
                              const std::string& name) {
    auto found = properties.find(name);
    if (found == properties.end() || !found->second.containsValueOfType<Value>())
        return std::nullopt;
    return found->second.get<Value>();
}

}  // namespace

NetworkManagerModems::NetworkManagerModems(std::string busAddress, std::chrono::milliseconds budget,
                                           std::chrono::milliseconds cacheFor)
    : busAddress_(std::move(busAddress)), budget_(budget), cacheFor_(cacheFor) {}

bool NetworkManagerModems::namesModemInterface(const std::string& interface) {
    auto now = std::chrono::steady_clock::now();
    if (!asked_ || now - askedAt_ >= cacheFor_) {
        std::string problem;
        try {
            modemInterfaces_ = ask();
        } catch (const NothingToAsk&) {
            modemInterfaces_.clear();
        } catch (const std::exception& error) {
            modemInterfaces_.clear();
            problem = error.what();
        }
        if (!problem.empty() && problem != lastProblem_)
            logLine("cannot read NetworkManager's devices (" + problem +
                    "); modems are classified by sysfs only");
        lastProblem_ = problem;
        asked_ = true;
        askedAt_ = std::chrono::steady_clock::now();
    }
    return modemInterfaces_.contains(interface);
}

std::set<std::string> NetworkManagerModems::ask() {
    using namespace std::chrono;
    auto deadline = steady_clock::now() + budget_;
    auto timeLeft = [&]() -> uint64_t {
        auto left = duration_cast<microseconds>(deadline - steady_clock::now()).count();
        if (left <= 0)
            throw std::runtime_error("no answer within " + std::to_string(budget_.count()) + " ms");
        return static_cast<uint64_t>(left);
    };

    std::unique_ptr<sdbus::IConnection> connection;
    try {
        connection = busAddress_.empty()
                         ? sdbus::createSystemBusConnection()
                         : sdbus::createSessionBusConnectionWithAddress(busAddress_);
    } catch (const sdbus::Error&) {
        throw NothingToAsk{};
    }
    // Asked first, so that a call never starts NetworkManager by bus activation.
    auto bus = sdbus::createProxy(*connection, busName, busPath);
    auto hasOwner = bus->createMethodCall(busName, "NameHasOwner");
    hasOwner << std::string(managerName);
    bool running = false;
    try {
        auto reply = bus->callMethod(hasOwner, timeLeft());
        reply >> running;
    } catch (const sdbus::Error&) {
        throw NothingToAsk{};  // a bus that does not answer is no bus
    }
    if (!running) throw NothingToAsk{};

    auto manager = sdbus::createProxy(*connection, managerName, managerPath);
    auto getDevices = manager->createMethodCall(managerName, "GetDevices");
    std::vector<sdbus::ObjectPath> devices;
    auto reply = manager->callMethod(getDevices, timeLeft());
    reply >> devices;

    std::set<std::string> modems;
    for (const auto& path : devices) {
        std::map<std::string, sdbus::Variant> properties;
        try {
            auto device = sdbus::createProxy(*connection, managerName, path);
            auto getAll = device->createMethodCall(propertiesInterface, "GetAll");
            getAll << std::string(deviceInterface);
            auto reply = device->callMethod(getAll, timeLeft());
            reply >> properties;
        } catch (const sdbus::Error&) {
            continue;  // a device that went away in between, or an odd one
        }
        if (property<uint32_t>(properties, "DeviceType") != modemDeviceType) continue;
        for (const char* name : {"IpInterface", "Interface"})
            if (auto interface = property<std::string>(properties, name);
                interface && !interface->empty())
                modems.insert(*interface);
    }
    return modems;
}

}  // namespace bytarn::trafficd
