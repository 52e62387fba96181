#include "trafficd/networks/NetworkManagerDevices.h"

#include "trafficd/Log.h"

#include <sdbus-c++/sdbus-c++.h>

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <set>
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

// The device properties a kind depends on; other changes (State, Ip4Config, ...) ask nothing.
const std::set<std::string> watchedProperties{"Metered", "DeviceType", "Interface", "IpInterface"};

// A property of the expected D-Bus type, else nothing.
template <typename Value>
std::optional<Value> property(const std::map<std::string, sdbus::Variant>& properties,
                              const std::string& name) {
    auto found = properties.find(name);
    if (found == properties.end() || !found->second.containsValueOfType<Value>())
        return std::nullopt;
    return found->second.get<Value>();
}

// One question about every device: NameHasOwner, GetDevices, then each device's properties.
// Throws sdbus::Error when NetworkManager does not answer in time.
NetworkManagerView askBus(sdbus::IConnection& connection, std::chrono::milliseconds callBound) {
    const auto bound = static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(callBound).count());
    NetworkManagerView view;
    // Asked first, so that a call never starts NetworkManager by bus activation.
    auto bus = sdbus::createProxy(connection, busName, busPath);
    auto hasOwner = bus->createMethodCall(busName, "NameHasOwner");
    hasOwner << std::string(managerName);
    bool running = false;
    auto owned = bus->callMethod(hasOwner, bound);
    owned >> running;
    if (!running) {
        view.absence = "NetworkManager is not running";
        return view;
    }
    auto manager = sdbus::createProxy(connection, managerName, managerPath);
    std::vector<sdbus::ObjectPath> devices;
    auto listed = manager->callMethod(manager->createMethodCall(managerName, "GetDevices"), bound);
    listed >> devices;
    view.running = true;
    for (const auto& path : devices) {
        std::map<std::string, sdbus::Variant> properties;
        try {
            auto device = sdbus::createProxy(connection, managerName, path);
            auto getAll = device->createMethodCall(propertiesInterface, "GetAll");
            getAll << std::string(deviceInterface);
            auto reply = device->callMethod(getAll, bound);
            reply >> properties;
        } catch (const sdbus::Error&) {
            continue;  // a device that went away in between, or an odd one
        }
        NetworkManagerDevice facts{property<uint32_t>(properties, "DeviceType").value_or(0),
                                   property<uint32_t>(properties, "Metered").value_or(0)};
        for (const char* name : {"IpInterface", "Interface"})
            if (auto interface = property<std::string>(properties, name);
                interface && !interface->empty())
                view.interfaces.emplace(*interface, facts);  // IpInterface first: it carries data
    }
    return view;
}

}  // namespace

struct NetworkManagerDevices::Shared {
    std::mutex mutex;
    std::condition_variable answered;
    bool hasAnswer = false;
    NetworkManagerView view;
    std::string problem;  // the last one logged
    int changesFd = -1, stopFd = -1;

    ~Shared() {
        if (changesFd >= 0) ::close(changesFd);
        if (stopFd >= 0) ::close(stopFd);
    }

    void publish(NetworkManagerView next) {
        std::lock_guard lock(mutex);
        bool first = !hasAnswer;
        hasAnswer = true;
        answered.notify_all();
        if (!first && next == view) return;
        view = std::move(next);
        uint64_t one = 1;
        [[maybe_unused]] auto written = ::write(changesFd, &one, sizeof one);
    }

    // A failed question is logged when its reason differs from the last one.
    void noteProblem(const std::string& reason) {
        if (reason == problem) return;
        problem = reason;
        if (!reason.empty())
            logLine("cannot read NetworkManager's devices (" + reason +
                    "); asking again at its next change");
    }

    void follow(std::chrono::milliseconds callBound) {
        std::unique_ptr<sdbus::IConnection> connection;
        try {
            // The system bus only: sdbus-c++ 1.2's connection to a given address leaks its sd_bus
            // when the connection fails.
            connection = sdbus::createSystemBusConnection();
        } catch (const sdbus::Error&) {
            publish({false, "no system bus", {}});
            return;
        }
        bool dirty = true;
        auto changed = [&dirty](sdbus::Message&) { dirty = true; };
        std::vector<sdbus::Slot> matches;
        try {
            const std::string fromManager = std::string("type='signal',sender='") + managerName +
                                            "',path='" + managerPath + "',interface='" +
                                            managerName + "',member=";
            matches.push_back(connection->addMatch(
                std::string("type='signal',sender='") + busName + "',interface='" + busName +
                    "',member='NameOwnerChanged',arg0='" + managerName + "'",
                changed));
            matches.push_back(connection->addMatch(fromManager + "'DeviceAdded'", changed));
            matches.push_back(connection->addMatch(fromManager + "'DeviceRemoved'", changed));
            matches.push_back(connection->addMatch(
                std::string("type='signal',sender='") + managerName + "',interface='" +
                    propertiesInterface + "',member='PropertiesChanged',path_namespace='" +
                    managerPath + "/Devices',arg0='" + deviceInterface + "'",
                [&dirty](sdbus::Message& message) {
                    std::string interface;
                    std::map<std::string, sdbus::Variant> values;
                    std::vector<std::string> invalidated;
                    try {
                        message >> interface >> values >> invalidated;
                    } catch (const sdbus::Error&) {
                        dirty = true;  // unreadable: ask rather than miss a change
                        return;
                    }
                    for (const auto& [name, value] : values)
                        dirty = dirty || watchedProperties.contains(name);
                    for (const auto& name : invalidated)
                        dirty = dirty || watchedProperties.contains(name);
                }));
        } catch (const sdbus::Error& error) {
            noteProblem(error.getMessage());
            publish({false, "the system bus refused to pass NetworkManager's signals", {}});
            return;
        }
        for (;;) {
            try {
                // Signals that came in during the calls are queued, not on the socket: dispatch
                // them all before waiting.
                while (connection->processPendingRequest()) {
                }
                if (dirty) {
                    dirty = false;
                    try {
                        auto next = askBus(*connection, callBound);
                        noteProblem("");
                        publish(std::move(next));
                    } catch (const sdbus::Error& error) {
                        noteProblem(error.getMessage());
                        publish({false, "NetworkManager did not answer", {}});
                    }
                    continue;
                }
                auto wait = connection->getEventLoopPollData();
                pollfd fds[2] = {{wait.fd, wait.events, 0}, {stopFd, POLLIN, 0}};
                int timeout = -1;
                if (wait.timeout_usec != UINT64_MAX) {
                    timespec now{};
                    clock_gettime(CLOCK_MONOTONIC, &now);
                    auto nowUsec = static_cast<uint64_t>(now.tv_sec) * 1000000 +
                                   static_cast<uint64_t>(now.tv_nsec) / 1000;
                    timeout = wait.timeout_usec <= nowUsec
                                  ? 0
                                  : static_cast<int>((wait.timeout_usec - nowUsec + 999) / 1000);
                }
                if (::poll(fds, 2, timeout) < 0 && errno != EINTR) return;
                if (fds[1].revents) return;
            } catch (const sdbus::Error& error) {
                // The bus went away: nothing more will come.
                noteProblem(error.getMessage());
                publish({false, "the system bus closed the connection", {}});
                return;
            }
        }
    }
};

NetworkManagerDevices::NetworkManagerDevices(std::chrono::milliseconds callBound)
    : shared_(std::make_shared<Shared>()) {
    shared_->changesFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    shared_->stopFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (shared_->changesFd < 0 || shared_->stopFd < 0)
        throw std::runtime_error("eventfd for NetworkManager's changes failed");
    changesFd_ = shared_->changesFd;
    // The thread takes no signals: SIGTERM and SIGINT belong to the helper's signalfd.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    follower_ = std::thread([shared = shared_, callBound] { shared->follow(callBound); });
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

NetworkManagerDevices::~NetworkManagerDevices() {
    uint64_t one = 1;
    [[maybe_unused]] auto written = ::write(shared_->stopFd, &one, sizeof one);
    // A thread stuck on a hung bus (opening the connection has no bound of ours) keeps its own
    // share of the state and ends on its own.
    std::unique_lock lock(shared_->mutex);
    bool stuck = !shared_->hasAnswer;
    lock.unlock();
    if (stuck)
        follower_.detach();
    else
        follower_.join();
}

NetworkManagerView NetworkManagerDevices::view() {
    uint64_t count = 0;
    [[maybe_unused]] auto got = ::read(changesFd_, &count, sizeof count);
    std::lock_guard lock(shared_->mutex);
    return shared_->view;
}

bool NetworkManagerDevices::waitForFirstAnswer(std::chrono::milliseconds bound) {
    std::unique_lock lock(shared_->mutex);
    return shared_->answered.wait_for(lock, bound, [&] { return shared_->hasAnswer; });
}

}  // namespace bytarn::trafficd
