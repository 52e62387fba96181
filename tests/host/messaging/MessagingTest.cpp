#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/foundation/RunLoop.h"
#include "host/messaging/CFNotificationCenter.h"
#include "host/messaging/CPDistributedMessagingCenter.h"

namespace {

using namespace std::chrono_literals;

class MessagingCenterTest : public ::testing::Test {
  protected:
    MessagingCenterTest() {
        RunLoop::main().reset();
        MessagingTransport::install(std::make_shared<InProcessMessagingTransport>());
    }
    ~MessagingCenterTest() override {
        MessagingTransport::install(previous);
        RunLoop::main().reset();
    }

    struct Received {
        std::string message;
        std::optional<CPDistributedMessagingCenter::UserInfo> userInfo;
        std::thread::id thread;
    };
    CPDistributedMessagingCenter::Handler recorder() {
        return [this](const std::string& message, const auto& userInfo) {
            received.push_back({message, userInfo, std::this_thread::get_id()});
        };
    }

    std::shared_ptr<MessagingTransport> previous = MessagingTransport::current();
    std::vector<Received> received;
};

TEST_F(MessagingCenterTest, MessagesReachTheServerOnTheMainRunLoop) {
    auto server = CPDistributedMessagingCenter::centerNamed("org.example.test.flush");
    ASSERT_TRUE(server->runServer(recorder()));
    EXPECT_FALSE(
        CPDistributedMessagingCenter::centerNamed("org.example.test.flush")->runServer(recorder()))
        << "one server per centre";

    auto client = CPDistributedMessagingCenter::centerNamed("org.example.test.flush");
    bool sent = false;
    std::thread sender([&] { sent = client->sendMessageName("flush", {{{"app", "mail"}}}); });
    sender.join();
    EXPECT_TRUE(sent);
    EXPECT_TRUE(client->sendMessageName("ping", std::nullopt));
    EXPECT_TRUE(received.empty()) << "sending returns before the server handles anything";

    RunLoop::main().runUntilIdle();
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0].message, "flush");
    EXPECT_EQ(received[0].userInfo, (CPDistributedMessagingCenter::UserInfo{{"app", "mail"}}));
    EXPECT_EQ(received[1].message, "ping");
    EXPECT_EQ(received[1].userInfo, std::nullopt);
    for (const auto& r : received) EXPECT_EQ(r.thread, std::this_thread::get_id());

    EXPECT_FALSE(CPDistributedMessagingCenter::centerNamed("org.example.test.nobody")
                     ->sendMessageName("flush", std::nullopt));

    // A message still queued when the server stops is dropped; later ones are refused.
    EXPECT_TRUE(client->sendMessageName("late", std::nullopt));
    server->stopServer();
    EXPECT_FALSE(client->sendMessageName("later", std::nullopt));
    RunLoop::main().runUntilIdle();
    EXPECT_EQ(received.size(), 2u);
}

// What an observer saw, filled in on the delivery thread.
struct Observer {
    std::mutex mutex;
    std::vector<std::string> names;
    std::vector<std::thread::id> threads;
    std::atomic<bool> inside{false};
    std::atomic<int> calls{0};
    std::chrono::milliseconds dwell{0};
    const void* removes = nullptr;  // an observer this one removes when it is called

    static void callback(CFNotificationCenterRef center, void* self, const std::string& name,
                         const void*, const Value::Dictionary*) {
        auto& o = *static_cast<Observer*>(self);
        o.inside = true;
        {
            std::lock_guard lock(o.mutex);
            o.names.push_back(name);
            o.threads.push_back(std::this_thread::get_id());
        }
        if (o.removes) CFNotificationCenterRemoveObserver(center, o.removes, name, nullptr);
        std::this_thread::sleep_for(o.dwell);
        ++o.calls;
        o.inside = false;
    }
    void observe(const std::string& name) {
        CFNotificationCenterAddObserver(CFNotificationCenterGetDarwinNotifyCenter(), this, callback,
                                        name, nullptr,
                                        CFNotificationSuspensionBehaviorDeliverImmediately);
    }
    void stopObserving(const std::string& name) {
        CFNotificationCenterRemoveObserver(CFNotificationCenterGetDarwinNotifyCenter(), this, name,
                                           nullptr);
    }
};

void post(const std::string& name) {
    CFNotificationCenterPostNotification(CFNotificationCenterGetDarwinNotifyCenter(), name, nullptr,
                                         nullptr, true);
}

size_t observerCount(const std::string& name) {
    return CFNotificationCenterObserverCount(CFNotificationCenterGetDarwinNotifyCenter(), name);
}

TEST(NotificationCenter, NamesReachOnlyTheirObserversOnTheDeliveryThread) {
    const std::string alpha = "org.example.test.alpha", beta = "org.example.test.beta";
    Observer a, b, both;
    both.dwell = 20ms;  // slow enough that waiting for delivery has to wait
    a.observe(alpha);
    b.observe(beta);
    both.observe(alpha);
    both.observe(beta);
    EXPECT_EQ(observerCount(alpha), 2u);
    EXPECT_EQ(observerCount(beta), 2u);
    EXPECT_EQ(observerCount("org.example.test.gamma"), 0u);

    post(alpha);
    post("org.example.test.gamma");
    post(beta);
    post(alpha);
    CFNotificationCenterWaitUntilDelivered();
    EXPECT_EQ(a.names, (std::vector<std::string>{alpha, alpha}));
    EXPECT_EQ(b.names, (std::vector<std::string>{beta}));
    EXPECT_EQ(both.names, (std::vector<std::string>{alpha, beta, alpha}));
    for (auto* o : {&a, &b, &both})
        for (auto thread : o->threads) EXPECT_NE(thread, std::this_thread::get_id());

    a.stopObserving(alpha);
    both.stopObserving(alpha);
    both.stopObserving(beta);
    b.stopObserving(alpha);  // not observed: changes nothing
    EXPECT_EQ(observerCount(alpha), 0u);
    EXPECT_EQ(observerCount(beta), 1u);
    post(alpha);
    post(beta);
    CFNotificationCenterWaitUntilDelivered();
    EXPECT_EQ(a.calls + both.calls, 5);
    EXPECT_EQ(b.calls, 2);
    b.stopObserving(beta);
    EXPECT_EQ(observerCount(beta), 0u);
}

TEST(NotificationCenter, RemovingAnObserverWaitsForItsRunningCallback) {
    const std::string name = "org.example.test.removal";
    Observer slow;
    slow.dwell = 200ms;
    slow.observe(name);
    post(name);
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!slow.inside && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    const bool started = slow.inside;
    slow.stopObserving(name);
    ASSERT_TRUE(started) << "the callback never started";
    EXPECT_FALSE(slow.inside) << "removal returned while the callback was running";
    EXPECT_EQ(slow.calls, 1);
    post(name);
    CFNotificationCenterWaitUntilDelivered();
    EXPECT_EQ(slow.calls, 1) << "a removed observer is called again";
}

// An observer removed by an earlier callback of the same delivery is not called after its
// removal has returned (its observer pointer may already be gone).
TEST(NotificationCenter, ObserverRemovedByAnotherCallbackIsNotCalled) {
    const std::string name = "org.example.test.teardown";
    Observer remover, removed;
    remover.removes = &removed;
    remover.observe(name);
    removed.observe(name);
    post(name);
    CFNotificationCenterWaitUntilDelivered();
    EXPECT_EQ(remover.calls, 1);
    EXPECT_EQ(removed.calls, 0);
    remover.stopObserving(name);
    removed.stopObserving(name);
}

}  // namespace
