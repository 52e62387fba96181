#include "host/messaging/CPDistributedMessagingCenter.h"

#include "host/foundation/RunLoop.h"
#include "host/messaging/TransportSlot.h"

using MessagingSlot = TransportSlot<MessagingTransport, InProcessMessagingTransport>;

std::shared_ptr<MessagingTransport> MessagingTransport::current() {
    return MessagingSlot::current();
}

void MessagingTransport::install(std::shared_ptr<MessagingTransport> transport) {
    MessagingSlot::install(std::move(transport));
}

std::shared_ptr<CPDistributedMessagingCenter> CPDistributedMessagingCenter::centerNamed(
    const std::string& name) {
    return std::make_shared<CPDistributedMessagingCenter>(name);
}

bool CPDistributedMessagingCenter::sendMessageName(const std::string& message,
                                                   const std::optional<UserInfo>& userInfo) {
    return MessagingTransport::current()->send(name_, message, userInfo);
}

bool CPDistributedMessagingCenter::runServer(Handler handler) {
    return MessagingTransport::current()->serve(name_, std::move(handler));
}

void CPDistributedMessagingCenter::stopServer() {
    MessagingTransport::current()->stopServing(name_);
}

bool InProcessMessagingTransport::send(const std::string& center, const std::string& message,
                                       const std::optional<UserInfo>& userInfo) {
    std::shared_ptr<Handler> handler;
    {
        std::lock_guard lock(mutex_);
        auto it = servers_.find(center);
        if (it == servers_.end()) return false;
        handler = it->second;
    }
    // One-way: the sender goes on at once, the server handles the message when the main run
    // loop comes to it.
    // A server stopped in the meantime receives nothing.
    std::weak_ptr<Handler> weakHandler = handler;
    RunLoop::main().perform([weakHandler, message, userInfo] {
        if (auto live = weakHandler.lock()) (*live)(message, userInfo);
    });
    return true;
}

bool InProcessMessagingTransport::serve(const std::string& center, Handler handler) {
    std::lock_guard lock(mutex_);
    if (servers_.count(center)) return false;
    servers_[center] = std::make_shared<Handler>(std::move(handler));
    return true;
}

void InProcessMessagingTransport::stopServing(const std::string& center) {
    std::lock_guard lock(mutex_);
    servers_.erase(center);
}
