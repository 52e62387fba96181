#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "host/messaging/CFNotificationCenter.h"
#include "host/messaging/CPDistributedMessagingCenter.h"

// Messaging centres and Darwin-style notifications over a D-Bus bus (the session bus unless an
// address is given). Each transport has a connection of its own, served by a thread of its own:
// every use of the connection happens on that thread, and callers wait for it only where they
// need an answer. Incoming messages go to the main run loop and incoming notifications to the
// notification centre's delivery thread, so no caller ever runs on the bus thread.

// A centre named like a bus name, say "org.example.service", is served by the connection that
// owns that bus name. It exports the object "/org/example/service" with the interface
// "org.example.service" and one method, Message(s message, a{ss} userInfo, b hasUserInfo),
// marked no-reply. A send is a call of that method that expects no reply.
class DBusMessagingTransport : public MessagingTransport {
  public:
    // Connects to the bus at `address`, the session bus when it is empty. Throws
    // std::runtime_error when the bus cannot be reached.
    explicit DBusMessagingTransport(const std::string& address = {});
    ~DBusMessagingTransport() override;
    DBusMessagingTransport(const DBusMessagingTransport&) = delete;
    DBusMessagingTransport& operator=(const DBusMessagingTransport&) = delete;

    // False, with a log line, when the bus has no owner for the centre's name or the message
    // could not be written; true does not mean that the server handled it.
    bool send(const std::string& center, const std::string& message,
              const std::optional<UserInfo>& userInfo) override;
    // Takes the centre's bus name; false, with a log line, when another connection owns it.
    bool serve(const std::string& center, Handler handler) override;
    void stopServing(const std::string& center) override;

    // Whether some connection on the bus owns the centre's name.
    bool hasServer(const std::string& center);

    // False once the bus has gone away; the transport then sends nothing and serves nothing.
    bool isConnected() const;
    // Called once, on the bus thread, when the bus goes away.
    void setDisconnectHandler(std::function<void()> handler);

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

// Notifications as broadcast signals: interface "org.bytarn.Notifications", member "Notify",
// path "/org/bytarn/notifications", one string argument, the notification's name. A post is
// delivered to this process's observers at once and broadcast; the transport hands every name
// that another connection broadcasts to CFNotificationCenterDeliver, and skips its own echo, so
// a post reaches each observer exactly once.
class DBusNotificationTransport : public NotificationTransport {
  public:
    // Connects to the bus at `address`, the session bus when it is empty, and subscribes to the
    // signal. Throws std::runtime_error when the bus cannot be reached.
    explicit DBusNotificationTransport(const std::string& address = {});
    ~DBusNotificationTransport() override;
    DBusNotificationTransport(const DBusNotificationTransport&) = delete;
    DBusNotificationTransport& operator=(const DBusNotificationTransport&) = delete;

    void post(const std::string& name) override;

    bool isConnected() const;
    void setDisconnectHandler(std::function<void()> handler);

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

// The object path and interface under which a centre is served: "org.example.my-service" gives
// "/org/example/my_service" and "org.example.my_service". Nothing for a name that is not a valid
// bus name of at least two elements.
std::optional<std::string> DBusObjectPathForCenter(const std::string& center);
std::optional<std::string> DBusInterfaceForCenter(const std::string& center);
