#include "settings/core/SessionCollector.h"

#include <cstdlib>
#include <exception>

#include "collector/UsageCollector.h"
#include "collector/UsageDatabase.h"
#include "collector/sources/SyntheticTrafficSource.h"
#include "host/foundation/SystemLog.h"
#include "host/messaging/CFNotificationCenter.h"
#include "host/messaging/CPDistributedMessagingCenter.h"
#include "host/messaging/DBusTransport.h"

namespace {

bool sessionBusNamed() {
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    return address && *address;
}

}  // namespace

SessionCollector::SessionCollector(CollectorMode mode)
    : mode_(mode),
      previousMessaging_(MessagingTransport::current()),
      previousNotifications_(NotificationTransport::current()) {}

SessionCollector::~SessionCollector() {
    if (embedded_) embedded_->stopServing();
    embedded_.reset();
    MessagingTransport::install(previousMessaging_);
    NotificationTransport::install(previousNotifications_);
}

void SessionCollector::install() {
    // A fresh in-process transport when none other is given: no server of an earlier session
    // answers this one's messages.
    if (!messaging_) messaging_ = std::make_shared<InProcessMessagingTransport>();
    MessagingTransport::install(messaging_);
    NotificationTransport::install(notifications_);
}

std::unique_ptr<SessionCollector> SessionCollector::start(CollectorMode mode, std::string* error) {
    auto fail = [&](std::string why) -> std::unique_ptr<SessionCollector> {
        if (error) *error = std::move(why);
        return nullptr;
    };

    std::shared_ptr<DBusMessagingTransport> bus;
    if (mode == CollectorMode::Automatic) {
        mode = CollectorMode::Embedded;
        if (sessionBusNamed()) {
            try {
                bus = std::make_shared<DBusMessagingTransport>();
                if (bus->hasServer(BYTARN_COLLECTOR_SERVICE)) mode = CollectorMode::Bus;
            } catch (const std::exception&) {
                // No usable session bus: the collector runs here.
            }
        }
    }

    std::unique_ptr<SessionCollector> session(new SessionCollector(mode));
    if (mode == CollectorMode::Bus) {
        try {
            if (!bus) bus = std::make_shared<DBusMessagingTransport>();
            session->notifications_ = std::make_shared<DBusNotificationTransport>();
        } catch (const std::exception& failure) {
            return fail(std::string("--collector bus: ") + failure.what());
        }
        if (!bus->hasServer(BYTARN_COLLECTOR_SERVICE))
            SystemLog::writef(
                "SessionCollector: no collector owns %s on the session bus; the page shows the "
                "database as it is",
                BYTARN_COLLECTOR_SERVICE);
        session->messaging_ = bus;
    }
    session->install();

    if (mode == CollectorMode::Embedded) {
        session->embedded_ = std::make_unique<UsageCollector>(UsageDatabase::defaultPath());
        if (!session->embedded_->serve())
            return fail(std::string("the embedded collector cannot serve ") +
                        BYTARN_COLLECTOR_SERVICE);
    }
    return session;
}

bool SessionCollector::startSyntheticTraffic(std::uint64_t seed) {
    if (!embedded_) return false;
    traffic_ = std::make_unique<SyntheticTrafficSource>(*embedded_, seed);
    traffic_->start();
    return true;
}
