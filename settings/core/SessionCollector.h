#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "settings/core/SessionOptions.h"

class DBusMessagingTransport;
class DBusNotificationTransport;
class MessagingTransport;
class NotificationTransport;
class SyntheticTrafficSource;
class UsageCollector;

// The usage collector's side of one Settings session: the transports that carry the page's
// messages and the collector's change notification, and, when embedded, the collector itself.
// It installs its transports for its lifetime and puts back the ones it found.
class SessionCollector {
  public:
    // Resolves Automatic (the bus when the session bus is reachable through
    // DBUS_SESSION_BUS_ADDRESS and a collector owns its name there, else embedded) and sets the
    // mode up. Nothing, with the reason, when the bus is asked for and cannot be reached, or an
    // embedded collector cannot serve its centre.
    static std::unique_ptr<SessionCollector> start(CollectorMode mode, std::string* error);

    ~SessionCollector();
    SessionCollector(const SessionCollector&) = delete;
    SessionCollector& operator=(const SessionCollector&) = delete;

    // Embedded, Bus or None; never Automatic.
    CollectorMode mode() const { return mode_; }

    // The collector in this process, or null when it runs elsewhere or not at all.
    UsageCollector* embeddedCollector() const { return embedded_.get(); }

    // Feeds the embedded collector with live synthetic traffic; false when there is none here.
    bool startSyntheticTraffic(std::uint64_t seed);

  private:
    explicit SessionCollector(CollectorMode mode);
    void install();

    CollectorMode mode_;
    std::shared_ptr<MessagingTransport> previousMessaging_;
    std::shared_ptr<NotificationTransport> previousNotifications_;
    std::shared_ptr<MessagingTransport> messaging_;
    std::shared_ptr<NotificationTransport> notifications_;  // null: the in-process default
    std::unique_ptr<UsageCollector> embedded_;
    // Declared after the collector it feeds, so it stops first.
    std::unique_ptr<SyntheticTrafficSource> traffic_;
};
