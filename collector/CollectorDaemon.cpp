#include "collector/CollectorDaemon.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <thread>
#include <utility>

#include "collector/MobileDataRestrictions.h"
#include "collector/UsageCollector.h"
#include "collector/UsageDatabase.h"
#include "collector/alerts/PlanMonitor.h"
#include "collector/sources/KernelTrafficSource.h"
#include "collector/sources/RecordLineReader.h"
#include "collector/sources/SyntheticTrafficSource.h"
#include "host/foundation/Clock.h"
#include "host/foundation/RunLoop.h"
#include "host/foundation/SystemLog.h"
#include "host/messaging/DBusTransport.h"

namespace {

// How long the main thread sleeps at most when nothing is due; work and timers wake it sooner.
constexpr double kLongestWait = 3600;
// How often the loop looks for a change of the restrictions' file and, while mobile data is
// paused, for a resume that another process wrote: one stat, and one small query while paused.
constexpr double kFollowInterval = 1;

// Set on the main thread only, by work that the signal thread or the bus threads queue.
bool stopRequested = false;

void requestStop() {
    RunLoop::main().perform([] { stopRequested = true; });
}

// Waits for SIGINT and SIGTERM, which every thread of the process blocks, and turns the first
// into a stop of the main loop.
class SignalWatcher {
  public:
    SignalWatcher() {
        sigemptyset(&signals_);
        sigaddset(&signals_, SIGINT);
        sigaddset(&signals_, SIGTERM);
        thread_ = std::thread([this] {
            int received = 0;
            if (sigwait(&signals_, &received) == 0 && !done_) {
                SystemLog::writef("UsageCollector: %s received; saving and stopping",
                                  received == SIGINT ? "SIGINT" : "SIGTERM");
                requestStop();
            }
        });
    }

    ~SignalWatcher() {
        // A watcher still waiting is ended with a signal of its own.
        done_ = true;
        pthread_kill(thread_.native_handle(), SIGTERM);
        thread_.join();
    }

    SignalWatcher(const SignalWatcher&) = delete;
    SignalWatcher& operator=(const SignalWatcher&) = delete;

  private:
    sigset_t signals_;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

// Blocks the stop signals in this thread and so in every thread started after it.
void blockStopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

const char* sourceName(CollectorDaemonOptions::Source source) {
    switch (source) {
        case CollectorDaemonOptions::Source::Synthetic:
            return "synthetic traffic";
        case CollectorDaemonOptions::Source::StandardInput:
            return "record lines on standard input";
        case CollectorDaemonOptions::Source::Kernel:
            return "the kernel's traffic from the traffic helper";
        case CollectorDaemonOptions::Source::None:
            break;
    }
    return "no traffic source";
}

// Why the collector cannot serve on the bus, and the ways to run it where there is one. Without
// an address the bus is the session's: DBUS_SESSION_BUS_ADDRESS, else sd-bus's guess in
// XDG_RUNTIME_DIR, which is all a user sees when it fails.
std::string noBusMessage(const std::string& address, const std::string& reason) {
    const char* sessionAddress = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    std::string why;
    if (!address.empty())
        why = "cannot connect to the D-Bus bus at " + address + " (" + reason + ")";
    else if (!sessionAddress || !*sessionAddress)
        why = "there is no D-Bus session bus to serve on (DBUS_SESSION_BUS_ADDRESS is not set)";
    else
        why = "cannot connect to the D-Bus session bus at " + std::string(sessionAddress) + " (" +
              reason + ")";
    return why +
           ". Run it in a desktop session, as the systemd user unit (systemctl --user start "
           "bytarn-collector), or on a bus of its own: dbus-run-session -- bytarn-collector run "
           "...";
}

// The unsaved counts of `kind` over `cycle`, as the plans read the database's.
CycleUsage unsavedCycleUsage(const std::vector<UsageRow>& rows, const std::string& kind,
                             const PlanCycle& cycle) {
    const std::string first = dayString(cycle.first), last = dayString(cycle.last);
    CycleUsage usage;
    std::map<std::string, std::uint64_t> byApplication;
    for (const UsageRow& row : rows) {
        if (row.date < first || row.date > last) continue;
        const std::uint64_t bytes = kind == kWifiKind ? row.wifi : row.cellular;
        if (bytes == 0) continue;
        usage.bytesByDay[row.date] += bytes;
        byApplication[row.app] += bytes;
    }
    for (auto& [app, bytes] : byApplication) usage.applications.push_back({app, bytes});
    return usage;
}

}  // namespace

int runCollectorDaemon(const CollectorDaemonOptions& options, std::ostream& err) {
    blockStopSignals();
    Clock::useRealTime();
    stopRequested = false;
    std::string path =
        options.databasePath.empty() ? UsageDatabase::defaultPath() : options.databasePath;

    std::shared_ptr<DBusMessagingTransport> messaging;
    std::shared_ptr<DBusNotificationTransport> notifications;
    try {
        messaging = std::make_shared<DBusMessagingTransport>(options.busAddress);
        notifications = std::make_shared<DBusNotificationTransport>(options.busAddress);
    } catch (const std::exception& error) {
        err << "bytarn-collector: " << noBusMessage(options.busAddress, error.what()) << "\n";
        return 1;
    }
    std::atomic<bool> busLost{false};
    auto lost = [&busLost] {
        busLost = true;
        requestStop();
    };
    messaging->setDisconnectHandler(lost);
    notifications->setDisconnectHandler(lost);
    MessagingTransport::install(messaging);
    NotificationTransport::install(notifications);

    int status = 0;
    {
        // Problems with the database show at once, though counting goes on without it: the
        // counts wait in memory for a save that works.
        try {
            UsageDatabase probe(path);
        } catch (const std::exception& error) {
            SystemLog::writef("UsageCollector: %s; counts stay in memory until it can be saved",
                              error.what());
        }

        UsageCollector collector(path);
        if (!collector.serve()) {
            err << "bytarn-collector: another collector already owns " << BYTARN_COLLECTOR_SERVICE
                << " on this session bus; one collector per session counts (systemctl --user "
                   "status bytarn-collector shows whether it is the user unit)\n";
            status = 1;
        } else {
            SignalWatcher signals;
            std::optional<SyntheticTrafficSource> synthetic;
            std::optional<RecordLineReader> reader;
            std::optional<KernelTrafficSource> kernel;
            if (options.source == CollectorDaemonOptions::Source::Synthetic) {
                synthetic.emplace(collector, options.seed);
                synthetic->start();
            } else if (options.source == CollectorDaemonOptions::Source::StandardInput) {
                reader.emplace(collector, 0, "standard input");
                reader->start();
            } else if (options.source == CollectorDaemonOptions::Source::Kernel) {
                kernel.emplace(collector, options.trafficSocket.empty()
                                              ? KernelTrafficSource::kDefaultSocketPath
                                              : options.trafficSocket);
                kernel->start();
            }
            auto saveTimer = NSTimer::scheduledTimerWithTimeInterval(
                options.saveIntervalSeconds, [&collector](NSTimer&) { collector.save(); }, true);
            SystemLog::writef("UsageCollector: serving %s with %s; saving to %s every %g s",
                              BYTARN_COLLECTOR_SERVICE, sourceName(options.source), path.c_str(),
                              options.saveIntervalSeconds);

            // The data plans' alerts and the limit's pause: checked whenever counts arrive (the
            // saved usage plus the unsaved counts), after every save that changed the usage, and
            // whenever the loop wakes and finds the plans' file changed.
            PlanAlerts::Options alertOptions;
            alertOptions.databasePath = path;
            alertOptions.busAddress = options.busAddress;
            PlanMonitor plans(std::move(alertOptions));
            plans.followUnsaved([&collector](const std::string& kind, const PlanCycle& cycle) {
                return unsavedCycleUsage(collector.unsavedUsage(), kind, cycle);
            });
            std::uint64_t seenChanges = collector.changeCount();
            std::uint64_t seenRecords = collector.recordCount();

            // The user's restrictions of mobile data and the limit's pause, to the helper.
            MobileDataRestrictions restrictions(
                kernel ? MobileDataRestrictions::Sender([&kernel](const HelperRestrictions& set) {
                    kernel->setRestrictions(set);
                })
                       : MobileDataRestrictions::Sender());
            auto followTimer = NSTimer::scheduledTimerWithTimeInterval(
                kFollowInterval, [](NSTimer&) {}, true);

            RunLoop& loop = RunLoop::main();
            while (true) {
                loop.runUntilIdle();
                if (stopRequested) break;
                const std::uint64_t changes = collector.changeCount();
                const std::uint64_t records = collector.recordCount();
                plans.check(changes != seenChanges, records != seenRecords);
                seenChanges = changes;
                seenRecords = records;
                plans.followPause();
                restrictions.check(plans.mobileDataPaused());
                loop.waitForWork(kLongestWait);
            }

            saveTimer->invalidate();
            followTimer->invalidate();
            if (synthetic) synthetic->stop();
            if (reader) reader->stop();
            if (busLost) {
                err << "bytarn-collector: the session bus went away; stopping after a last save\n";
                status = 1;
            }
            // The kernel source stays connected through the last save, and acknowledges what it
            // wrote before it closes.
            bool saved = collector.save();
            kernel.reset();
            if (!saved) {
                err << "bytarn-collector: stopping with " << collector.unsavedUsage().size()
                    << " unsaved counts, which are lost (the log says why the save failed)\n";
                status = 1;
            }
            collector.stopServing();
        }
    }
    MessagingTransport::install(nullptr);
    NotificationTransport::install(nullptr);
    // The transports go last, once their queued work (the last change notification) is sent.
    notifications.reset();
    messaging.reset();
    return status;
}
