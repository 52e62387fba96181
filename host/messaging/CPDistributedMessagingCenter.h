#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

// Named messaging centres: one-way messages with an optional string dictionary, from any client
// to the one server that runs the centre. Where messages travel is the transport's business:
// within the process (the default) or over the session bus.
class CPDistributedMessagingCenter {
  public:
    using UserInfo = std::map<std::string, std::string>;
    using Handler =
        std::function<void(const std::string& message, const std::optional<UserInfo>& userInfo)>;

    static std::shared_ptr<CPDistributedMessagingCenter> centerNamed(const std::string& name);

    const std::string& name() const { return name_; }

    // Sends and returns at once; no answer is awaited. False when the message could not be handed
    // over (no server runs the centre); senders that do not care may ignore it.
    bool sendMessageName(const std::string& message, const std::optional<UserInfo>& userInfo);

    // Server side: the handler receives every message sent to this centre, on the main run loop,
    // until stopServer(). One server per centre and transport.
    bool runServer(Handler handler);
    void stopServer();

    explicit CPDistributedMessagingCenter(std::string name) : name_(std::move(name)) {}

  private:
    std::string name_;
};

// Carries messages between clients and servers.
class MessagingTransport {
  public:
    using UserInfo = CPDistributedMessagingCenter::UserInfo;
    using Handler = CPDistributedMessagingCenter::Handler;

    virtual ~MessagingTransport() = default;
    virtual bool send(const std::string& center, const std::string& message,
                      const std::optional<UserInfo>& userInfo) = 0;
    virtual bool serve(const std::string& center, Handler handler) = 0;
    virtual void stopServing(const std::string& center) = 0;

    // The transport every centre uses; the in-process one unless another was installed.
    static std::shared_ptr<MessagingTransport> current();
    static void install(std::shared_ptr<MessagingTransport> transport);
};

// Messages within one process: a send queues the handler's call on the main run loop.
class InProcessMessagingTransport : public MessagingTransport {
  public:
    bool send(const std::string& center, const std::string& message,
              const std::optional<UserInfo>& userInfo) override;
    bool serve(const std::string& center, Handler handler) override;
    void stopServing(const std::string& center) override;

  private:
    std::mutex mutex_;
    std::map<std::string, std::shared_ptr<Handler>> servers_;
};
