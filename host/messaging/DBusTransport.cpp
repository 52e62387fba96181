#include "host/messaging/DBusTransport.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <sdbus-c++/sdbus-c++.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <future>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <type_traits>

#include "host/foundation/RunLoop.h"
#include "host/foundation/SystemLog.h"

namespace {

const char* const kMessageMethod = "Message";
const char* const kMessageSignature = "sa{ss}b";

const char* const kNotificationInterface = "org.bytarn.Notifications";
const char* const kNotificationMember = "Notify";
const char* const kNotificationPath = "/org/bytarn/notifications";

const char* const kBusService = "org.freedesktop.DBus";
const char* const kBusPath = "/org/freedesktop/DBus";

// How long a question to the bus daemon may take before the bus counts as unreachable.
constexpr std::uint64_t kBusCallTimeoutMicroseconds = 5'000'000;

bool isNameCharacter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-';
}

// A well-known bus name: two or more non-empty elements of [A-Za-z0-9_-], none starting with a
// digit, 255 characters at most.
bool isWellKnownBusName(const std::string& name) {
    if (name.empty() || name.size() > 255) return false;
    size_t elements = 0;
    size_t start = 0;
    while (true) {
        size_t end = name.find('.', start);
        std::string element = name.substr(start, end == std::string::npos ? end : end - start);
        if (element.empty() || (element[0] >= '0' && element[0] <= '9')) return false;
        for (char c : element)
            if (!isNameCharacter(c)) return false;
        ++elements;
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return elements >= 2;
}

std::string replaced(std::string text, char from, char to) {
    for (char& c : text)
        if (c == from) c = to;
    return text;
}

std::string describe(const std::exception& error) {
    if (auto* bus = dynamic_cast<const sdbus::Error*>(&error))
        return bus->getName() + ": " + bus->getMessage();
    return error.what();
}

// One connection and the thread that alone uses it. Work from other threads is queued and the
// thread is woken through an eventfd; between jobs it waits in poll() on the bus socket.
class BusThread {
  public:
    BusThread(const std::string& address, std::string role) : role_(std::move(role)) {
        try {
            connection_ = address.empty() ? sdbus::createSessionBusConnection()
                                          : sdbus::createSessionBusConnectionWithAddress(address);
        } catch (const std::exception& error) {
            throw std::runtime_error("cannot connect to the " +
                                     std::string(address.empty() ? "session bus" : address) + ": " +
                                     describe(error));
        }
        wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (wakeFd_ < 0) throw std::runtime_error(std::string("eventfd: ") + strerror(errno));
        uniqueName_ = connection_->getUniqueName();
        thread_ = std::thread([this] { loop(); });
        threadId_ = thread_.get_id();
    }

    ~BusThread() {
        stop();
        close(wakeFd_);
    }

    BusThread(const BusThread&) = delete;
    BusThread& operator=(const BusThread&) = delete;

    const std::string& uniqueName() const { return uniqueName_; }
    bool connected() const { return connected_; }

    void setDisconnectHandler(std::function<void()> handler) {
        std::lock_guard lock(mutex_);
        disconnectHandler_ = std::move(handler);
    }

    // Runs `work` on the bus thread and returns its result or throws its exception. Throws
    // std::runtime_error when the thread has ended.
    template <class Work>
    auto call(Work&& work) -> std::invoke_result_t<Work&, sdbus::IConnection&> {
        using Result = std::invoke_result_t<Work&, sdbus::IConnection&>;
        if (std::this_thread::get_id() == threadId_) return work(*connection_);
        auto task = std::make_shared<std::packaged_task<Result()>>(
            [this, &work] { return work(*connection_); });
        auto future = task->get_future();
        if (!enqueue([task] { (*task)(); }))
            throw std::runtime_error("the " + role_ + " bus connection is closed");
        return future.get();
    }

    // Queues `work` without waiting for it; a failure is logged. False when the thread has
    // ended.
    bool post(std::function<void(sdbus::IConnection&)> work) {
        return enqueue([this, work = std::move(work)] {
            try {
                work(*connection_);
            } catch (const std::exception& error) {
                SystemLog::writef("DBus: %s: %s", role_.c_str(), describe(error).c_str());
            }
        });
    }

    // Ends the thread after the work queued so far. Objects made on the connection may then be
    // released from any thread.
    void stop() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake();
        if (thread_.joinable()) thread_.join();
    }

  private:
    bool enqueue(std::function<void()> job) {
        {
            std::lock_guard lock(mutex_);
            if (closed_) return false;
            jobs_.push_back(std::move(job));
        }
        wake();
        return true;
    }

    void wake() {
        std::uint64_t one = 1;
        // A full counter already wakes the thread, so a failed write loses nothing.
        [[maybe_unused]] ssize_t written = write(wakeFd_, &one, sizeof one);
    }

    // Runs every queued job; true when the thread is asked to stop.
    bool runJobs() {
        std::deque<std::function<void()>> jobs;
        bool stopping;
        {
            std::lock_guard lock(mutex_);
            jobs.swap(jobs_);
            stopping = stopping_;
        }
        for (auto& job : jobs) job();
        return stopping;
    }

    void loop() {
        bool lost = false;
        try {
            while (!runJobs()) {
                while (connection_->processPendingRequest()) {
                }
                auto data = connection_->getEventLoopPollData();
                pollfd fds[2] = {{data.fd, data.events, 0}, {wakeFd_, POLLIN, 0}};
                if (poll(fds, 2, data.getPollTimeout()) < 0 && errno != EINTR)
                    throw std::runtime_error(std::string("poll: ") + strerror(errno));
                if (fds[0].revents & (POLLERR | POLLNVAL | POLLHUP)) {
                    // What the bus sent before it went is still handled.
                    while (connection_->processPendingRequest()) {
                    }
                    throw std::runtime_error("the bus closed the connection");
                }
                if (fds[1].revents & POLLIN) {
                    std::uint64_t count;
                    [[maybe_unused]] ssize_t ignored = read(wakeFd_, &count, sizeof count);
                }
            }
        } catch (const std::exception& error) {
            lost = true;
            SystemLog::writef("DBus: %s: the bus connection is lost: %s", role_.c_str(),
                              describe(error).c_str());
        }
        connected_ = false;
        std::function<void()> handler;
        {
            std::lock_guard lock(mutex_);
            closed_ = true;
            if (lost) handler = std::move(disconnectHandler_);
        }
        // Whatever was queued still runs, so that no caller waits for ever; on a lost
        // connection it fails and says so.
        runJobs();
        if (handler) handler();
    }

    std::string role_;
    std::unique_ptr<sdbus::IConnection> connection_;
    std::string uniqueName_;
    int wakeFd_ = -1;
    std::mutex mutex_;
    std::deque<std::function<void()>> jobs_;
    std::function<void()> disconnectHandler_;
    bool stopping_ = false;
    bool closed_ = false;
    std::atomic<bool> connected_{true};
    std::thread thread_;
    std::thread::id threadId_;
};

// Asks the bus daemon whether a name has an owner. Bus thread only.
bool nameHasOwner(sdbus::IProxy& bus, const std::string& name) {
    auto call = bus.createMethodCall(kBusService, "NameHasOwner");
    call << name;
    auto reply = bus.callMethod(call, kBusCallTimeoutMicroseconds);
    bool owned = false;
    reply >> owned;
    return owned;
}

}  // namespace

std::optional<std::string> DBusObjectPathForCenter(const std::string& center) {
    if (!isWellKnownBusName(center)) return std::nullopt;
    return "/" + replaced(replaced(center, '-', '_'), '.', '/');
}

std::optional<std::string> DBusInterfaceForCenter(const std::string& center) {
    if (!isWellKnownBusName(center)) return std::nullopt;
    return replaced(center, '-', '_');
}

// ---------------------------------------------------------------------------------------------
// Messaging

struct DBusMessagingTransport::Impl {
    // A served centre: its object on the bus and the handler its messages go to.
    struct Served {
        std::unique_ptr<sdbus::IObject> object;
        std::shared_ptr<Handler> handler;
    };

    explicit Impl(const std::string& address) : bus(address, "messaging") {}

    ~Impl() {
        // The thread goes first; then nothing else touches the objects while they go.
        bus.stop();
        served.clear();
        proxies.clear();
        busProxy.reset();
    }

    // Bus thread only, as is everything below.
    sdbus::IProxy& busDaemon(sdbus::IConnection& connection) {
        if (!busProxy) busProxy = sdbus::createProxy(connection, kBusService, kBusPath);
        return *busProxy;
    }

    sdbus::IProxy& proxyFor(sdbus::IConnection& connection, const std::string& center,
                            const std::string& path) {
        auto& proxy = proxies[center];
        if (!proxy) proxy = sdbus::createProxy(connection, center, path);
        return *proxy;
    }

    // An incoming call, on the bus thread. Its arguments are read here; the handler runs on the
    // main run loop, and only while the centre is still served.
    static void receive(const std::string& center, std::weak_ptr<Handler> weakHandler,
                        sdbus::MethodCall call) {
        std::string message;
        UserInfo userInfo;
        bool hasUserInfo = false;
        try {
            call >> message >> userInfo >> hasUserInfo;
            if (!call) throw std::runtime_error("missing arguments");
        } catch (const std::exception& error) {
            SystemLog::writef("DBus: %s: rejecting a message from %s: %s", center.c_str(),
                              call.getSender().c_str(), describe(error).c_str());
            throw sdbus::Error(
                "org.freedesktop.DBus.Error.InvalidArgs",
                "expected (message, userInfo, hasUserInfo) as " + std::string(kMessageSignature));
        }
        // A caller that asked for an answer gets an empty one rather than a timeout.
        if (!call.doesntExpectReply()) call.createReply().send();
        std::optional<UserInfo> info;
        if (hasUserInfo) info = std::move(userInfo);
        RunLoop::main().perform([weakHandler = std::move(weakHandler), message = std::move(message),
                                 info = std::move(info)] {
            if (auto live = weakHandler.lock()) (*live)(message, info);
        });
    }

    BusThread bus;
    std::map<std::string, Served> served;
    std::map<std::string, std::unique_ptr<sdbus::IProxy>> proxies;
    std::unique_ptr<sdbus::IProxy> busProxy;
};

DBusMessagingTransport::DBusMessagingTransport(const std::string& address)
    : impl_(std::make_unique<Impl>(address)) {}

DBusMessagingTransport::~DBusMessagingTransport() = default;

bool DBusMessagingTransport::send(const std::string& center, const std::string& message,
                                  const std::optional<UserInfo>& userInfo) {
    auto path = DBusObjectPathForCenter(center);
    auto interface = DBusInterfaceForCenter(center);
    if (!path || !interface) {
        SystemLog::writef("DBus: cannot send \"%s\" to \"%s\", which is not a bus name",
                          message.c_str(), center.c_str());
        return false;
    }
    try {
        return impl_->bus.call([&](sdbus::IConnection& connection) {
            if (!nameHasOwner(impl_->busDaemon(connection), center)) return false;
            auto& proxy = impl_->proxyFor(connection, center, *path);
            auto call = proxy.createMethodCall(*interface, kMessageMethod);
            call << message << (userInfo ? *userInfo : UserInfo{}) << userInfo.has_value();
            call.dontExpectReply();
            proxy.callMethod(call);
            return true;
        });
    } catch (const std::exception& error) {
        SystemLog::writef("DBus: cannot send \"%s\" to %s: %s", message.c_str(), center.c_str(),
                          describe(error).c_str());
        return false;
    }
}

bool DBusMessagingTransport::serve(const std::string& center, Handler handler) {
    auto path = DBusObjectPathForCenter(center);
    auto interface = DBusInterfaceForCenter(center);
    if (!path || !interface) {
        SystemLog::writef("DBus: cannot serve \"%s\", which is not a bus name", center.c_str());
        return false;
    }
    auto shared = std::make_shared<Handler>(std::move(handler));
    try {
        return impl_->bus.call([&](sdbus::IConnection& connection) {
            if (impl_->served.count(center)) return false;
            // The object is in place before the name is taken, so no message to the name can
            // find the object missing.
            auto object = sdbus::createObject(connection, *path);
            std::weak_ptr<Handler> weak = shared;
            sdbus::Flags noReply;
            noReply.set(sdbus::Flags::METHOD_NO_REPLY);
            object->registerMethod(
                *interface, kMessageMethod, kMessageSignature, "",
                [center, weak](sdbus::MethodCall call) {
                    Impl::receive(center, weak, std::move(call));
                },
                noReply);
            object->finishRegistration();
            connection.requestName(center);
            impl_->served[center] = {std::move(object), shared};
            return true;
        });
    } catch (const std::exception& error) {
        SystemLog::writef("DBus: cannot serve %s: %s", center.c_str(), describe(error).c_str());
        return false;
    }
}

void DBusMessagingTransport::stopServing(const std::string& center) {
    if (!impl_->bus.connected()) {
        // The lost bus took the name with it. Its thread is ending; once it has, the centre is
        // dropped here, and messages still queued for the main run loop find no handler.
        impl_->bus.stop();
        impl_->served.erase(center);
        return;
    }
    try {
        impl_->bus.call([&](sdbus::IConnection& connection) {
            auto found = impl_->served.find(center);
            if (found == impl_->served.end()) return;
            impl_->served.erase(found);
            connection.releaseName(center);
        });
    } catch (const std::exception& error) {
        // Closing the connection gives the name up in any case.
        SystemLog::writef("DBus: cannot give up %s: %s", center.c_str(), describe(error).c_str());
    }
}

bool DBusMessagingTransport::hasServer(const std::string& center) {
    if (!isWellKnownBusName(center)) return false;
    try {
        return impl_->bus.call([&](sdbus::IConnection& connection) {
            return nameHasOwner(impl_->busDaemon(connection), center);
        });
    } catch (const std::exception& error) {
        SystemLog::writef("DBus: cannot ask for the owner of %s: %s", center.c_str(),
                          describe(error).c_str());
        return false;
    }
}

bool DBusMessagingTransport::isConnected() const {
    return impl_->bus.connected();
}

void DBusMessagingTransport::setDisconnectHandler(std::function<void()> handler) {
    impl_->bus.setDisconnectHandler(std::move(handler));
}

// ---------------------------------------------------------------------------------------------
// Notifications

struct DBusNotificationTransport::Impl {
    explicit Impl(const std::string& address) : bus(address, "notifications") {
        bus.call([this](sdbus::IConnection& connection) {
            object = sdbus::createObject(connection, kNotificationPath);
            object->registerSignal(kNotificationInterface, kNotificationMember, "s");
            object->finishRegistration();
            std::string rule = std::string("type='signal',interface='") + kNotificationInterface +
                               "',member='" + kNotificationMember + "'";
            subscription =
                connection.addMatch(rule, [this](sdbus::Message& signal) { receive(signal); });
        });
    }

    ~Impl() {
        bus.stop();
        subscription.reset();
        object.reset();
    }

    // A broadcast, on the bus thread. Our own was delivered when it was posted.
    void receive(sdbus::Message& signal) {
        if (signal.getSender() == bus.uniqueName()) return;
        std::string name;
        try {
            // A first argument of another type throws; a missing one leaves the message false.
            signal >> name;
            if (!signal) throw std::runtime_error("expected the notification's name");
        } catch (const std::exception& error) {
            SystemLog::writef("DBus: ignoring a notification from %s: %s",
                              signal.getSender().c_str(), describe(error).c_str());
            return;
        }
        CFNotificationCenterDeliver(name);
    }

    BusThread bus;
    std::unique_ptr<sdbus::IObject> object;
    sdbus::Slot subscription;
};

DBusNotificationTransport::DBusNotificationTransport(const std::string& address)
    : impl_(std::make_unique<Impl>(address)) {}

DBusNotificationTransport::~DBusNotificationTransport() = default;

void DBusNotificationTransport::post(const std::string& name) {
    CFNotificationCenterDeliver(name);
    bool queued = impl_->bus.post([impl = impl_.get(), name](sdbus::IConnection&) {
        auto signal = impl->object->createSignal(kNotificationInterface, kNotificationMember);
        signal << name;
        impl->object->emitSignal(signal);
    });
    if (!queued)
        SystemLog::writef("DBus: notification %s stays in this process: the bus is gone",
                          name.c_str());
}

bool DBusNotificationTransport::isConnected() const {
    return impl_->bus.connected();
}

void DBusNotificationTransport::setDisconnectHandler(std::function<void()> handler) {
    impl_->bus.setDisconnectHandler(std::move(handler));
}
