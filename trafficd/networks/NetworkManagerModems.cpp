#include "trafficd/networks/NetworkManagerModems.h"

#include "trafficd/Log.h"

#include <sdbus-c++/sdbus-c++.h>

#include <signal.h>
#include <condition_variable>
#include <map>
#include <mutex>
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

// One question: NameHasOwner, GetDevices, then each device's properties; every call bounded by
// what is left of `budget`.
std::set<std::string> askBus(std::chrono::milliseconds budget) {
    using namespace std::chrono;
    auto deadline = steady_clock::now() + budget;
    auto timeLeft = [&]() -> uint64_t {
        auto left = duration_cast<microseconds>(deadline - steady_clock::now()).count();
        if (left <= 0)
            throw std::runtime_error("no answer within " + std::to_string(budget.count()) + " ms");
        return static_cast<uint64_t>(left);
    };

    std::unique_ptr<sdbus::IConnection> connection;
    try {
        // The system bus only: sdbus-c++ 1.2's connection to a given address leaks its sd_bus
        // when the connection fails.
        connection = sdbus::createSystemBusConnection();
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

}  // namespace

struct NetworkManagerModems::Shared {
    std::mutex mutex;
    std::condition_variable changed;
    bool wanted = false, asking = false, stopping = false;
    unsigned answers = 0;  // counts the answers, so that a caller sees a new one arrive
    std::set<std::string> modems;
    std::string problem;  // of the last answer; empty when there was none to log
};

NetworkManagerModems::NetworkManagerModems(std::chrono::milliseconds budget,
                                           std::chrono::milliseconds cacheFor)
    : shared_(std::make_shared<Shared>()), budget_(budget), cacheFor_(cacheFor) {
    // The thread takes no signals: SIGTERM and SIGINT belong to the helper's signalfd.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    asker_ = std::thread([shared = shared_, budget] {
        std::unique_lock lock(shared->mutex);
        for (;;) {
            shared->changed.wait(lock, [&] { return shared->wanted || shared->stopping; });
            if (shared->stopping) return;
            shared->wanted = false;
            shared->asking = true;
            lock.unlock();
            std::set<std::string> modems;
            std::string problem;
            try {
                modems = askBus(budget);
            } catch (const NothingToAsk&) {
            } catch (const std::exception& error) {
                problem = error.what();
            }
            lock.lock();
            shared->asking = false;
            shared->modems = std::move(modems);
            shared->problem = std::move(problem);
            ++shared->answers;
            shared->changed.notify_all();
        }
    });
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

NetworkManagerModems::~NetworkManagerModems() {
    std::unique_lock lock(shared_->mutex);
    shared_->stopping = true;
    shared_->changed.notify_all();
    // A thread stuck on a hung bus keeps its own share of the state and ends on its own.
    bool stuck = shared_->asking;
    lock.unlock();
    if (stuck)
        asker_.detach();
    else
        asker_.join();
}

bool NetworkManagerModems::namesModemInterface(const std::string& interface) {
    if (asked_ && std::chrono::steady_clock::now() - askedAt_ < cacheFor_)
        return modemInterfaces_.contains(interface);
    std::string problem;
    {
        std::unique_lock lock(shared_->mutex);
        auto before = shared_->answers;
        shared_->wanted = true;
        shared_->changed.notify_all();
        if (shared_->changed.wait_for(lock, budget_, [&] { return shared_->answers != before; })) {
            modemInterfaces_ = shared_->modems;
            problem = shared_->problem;
        } else {
            modemInterfaces_.clear();
            problem = "the bus did not answer within " + std::to_string(budget_.count()) + " ms";
        }
    }
    if (!problem.empty() && problem != lastProblem_)
        logLine("cannot read NetworkManager's devices (" + problem +
                "); modems are classified by sysfs only");
    lastProblem_ = problem;
    asked_ = true;
    askedAt_ = std::chrono::steady_clock::now();
    return modemInterfaces_.contains(interface);
}

}  // namespace bytarn::trafficd
