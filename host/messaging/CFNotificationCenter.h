#pragma once

#include <functional>
#include <memory>
#include <string>

#include "host/foundation/Value.h"

// The Darwin-style notification centre: system-wide notifications that carry only a name.
// Observers are registered with a plain callback and an opaque observer pointer; callbacks run on
// the centre's own delivery thread, never on the main thread, so an observer hands its work to
// the main run loop. Once CFNotificationCenterRemoveObserver returns, the observer's callback is
// not running and will never run again.
struct CFNotificationCenter;
using CFNotificationCenterRef = CFNotificationCenter*;

using CFNotificationCallback = void (*)(CFNotificationCenterRef center, void* observer,
                                        const std::string& name, const void* object,
                                        const Value::Dictionary* userInfo);

enum CFNotificationSuspensionBehavior {
    CFNotificationSuspensionBehaviorDrop = 1,
    CFNotificationSuspensionBehaviorCoalesce = 2,
    CFNotificationSuspensionBehaviorHold = 3,
    CFNotificationSuspensionBehaviorDeliverImmediately = 4,
};

CFNotificationCenterRef CFNotificationCenterGetDarwinNotifyCenter();

void CFNotificationCenterAddObserver(CFNotificationCenterRef center, const void* observer,
                                     CFNotificationCallback callback, const std::string& name,
                                     const void* object, int suspensionBehavior);
void CFNotificationCenterRemoveObserver(CFNotificationCenterRef center, const void* observer,
                                        const std::string& name, const void* object);
// Posts a notification to every observer of the name, in this process and (through the
// transport) in others. Returns at once; delivery happens on the delivery thread.
void CFNotificationCenterPostNotification(CFNotificationCenterRef center, const std::string& name,
                                          const void* object, const Value::Dictionary* userInfo,
                                          bool deliverImmediately);

// How many observers are registered for a name (tests check that pages register once).
size_t CFNotificationCenterObserverCount(CFNotificationCenterRef center, const std::string& name);

// Carries posted notifications beyond this process. The in-process default delivers locally
// only; a bus transport broadcasts the name and, for names that arrive from elsewhere, calls
// CFNotificationCenterDeliver.
class NotificationTransport {
  public:
    virtual ~NotificationTransport() = default;
    // Called for every post; delivers to this process's observers (directly or by echo).
    virtual void post(const std::string& name) = 0;
    static std::shared_ptr<NotificationTransport> current();
    static void install(std::shared_ptr<NotificationTransport> transport);
};

// Hands a notification to the local observers, on the delivery thread. Transports call it.
void CFNotificationCenterDeliver(const std::string& name);

// Blocks until every notification posted so far has been delivered (tests and scripts).
void CFNotificationCenterWaitUntilDelivered();
