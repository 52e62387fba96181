#include "host/messaging/CFNotificationCenter.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "host/messaging/TransportSlot.h"

struct CFNotificationCenter {
    struct Observer {
        const void* observer;
        CFNotificationCallback callback;
        std::string name;
        const void* object;
    };

    // Observers, and the lock that delivery holds while it calls them: removing an observer
    // waits for a delivery in progress.
    std::recursive_mutex observersMutex;
    std::vector<Observer> observers;

    // The delivery thread and its queue.
    std::mutex queueMutex;
    std::condition_variable queueChanged;
    std::deque<std::string> queue;
    size_t posted = 0;
    size_t delivered = 0;
    bool stopping = false;
    // Last: the thread starts in the constructor and reads every member above.
    std::thread worker;

    CFNotificationCenter() : worker([this] { run(); }) {}
    ~CFNotificationCenter() {
        {
            std::lock_guard lock(queueMutex);
            stopping = true;
        }
        queueChanged.notify_all();
        worker.join();
    }

    void enqueue(const std::string& name) {
        {
            std::lock_guard lock(queueMutex);
            queue.push_back(name);
            ++posted;
        }
        queueChanged.notify_all();
    }

    void run() {
        std::unique_lock lock(queueMutex);
        while (true) {
            queueChanged.wait(lock, [this] { return stopping || !queue.empty(); });
            if (queue.empty()) return;
            std::string name = std::move(queue.front());
            queue.pop_front();
            lock.unlock();
            deliverNow(name);
            lock.lock();
            ++delivered;
            queueChanged.notify_all();
        }
    }

    void deliverNow(const std::string& name) {
        std::lock_guard lock(observersMutex);
        // A copy to walk, since a callback may add or remove observers; each is called only while
        // it is still registered, so one removed by an earlier callback is never called.
        auto current = observers;
        for (const auto& o : current) {
            if (o.name != name || !isRegistered(o)) continue;
            o.callback(this, const_cast<void*>(o.observer), name, nullptr, nullptr);
        }
    }

    bool isRegistered(const Observer& wanted) const {
        for (const auto& o : observers) {
            if (o.observer == wanted.observer && o.callback == wanted.callback &&
                o.name == wanted.name && o.object == wanted.object)
                return true;
        }
        return false;
    }
};

namespace {

CFNotificationCenter& darwinCenter() {
    static CFNotificationCenter center;
    return center;
}

class LocalNotificationTransport : public NotificationTransport {
  public:
    void post(const std::string& name) override { CFNotificationCenterDeliver(name); }
};

}  // namespace

using NotificationSlot = TransportSlot<NotificationTransport, LocalNotificationTransport>;

std::shared_ptr<NotificationTransport> NotificationTransport::current() {
    return NotificationSlot::current();
}

void NotificationTransport::install(std::shared_ptr<NotificationTransport> transport) {
    NotificationSlot::install(std::move(transport));
}

CFNotificationCenterRef CFNotificationCenterGetDarwinNotifyCenter() {
    return &darwinCenter();
}

void CFNotificationCenterAddObserver(CFNotificationCenterRef center, const void* observer,
                                     CFNotificationCallback callback, const std::string& name,
                                     const void* object, int) {
    if (!center || !callback) return;
    std::lock_guard lock(center->observersMutex);
    center->observers.push_back({observer, callback, name, object});
}

void CFNotificationCenterRemoveObserver(CFNotificationCenterRef center, const void* observer,
                                        const std::string& name, const void* object) {
    if (!center) return;
    std::lock_guard lock(center->observersMutex);
    std::erase_if(center->observers, [&](const auto& o) {
        return o.observer == observer && o.name == name && o.object == object;
    });
}

void CFNotificationCenterPostNotification(CFNotificationCenterRef center, const std::string& name,
                                          const void*, const Value::Dictionary*, bool) {
    if (!center) return;
    NotificationTransport::current()->post(name);
}

size_t CFNotificationCenterObserverCount(CFNotificationCenterRef center, const std::string& name) {
    if (!center) return 0;
    std::lock_guard lock(center->observersMutex);
    size_t count = 0;
    for (const auto& o : center->observers) count += o.name == name;
    return count;
}

void CFNotificationCenterDeliver(const std::string& name) {
    darwinCenter().enqueue(name);
}

void CFNotificationCenterWaitUntilDelivered() {
    auto& center = darwinCenter();
    std::unique_lock lock(center.queueMutex);
    center.queueChanged.wait(lock, [&] { return center.delivered == center.posted; });
}
