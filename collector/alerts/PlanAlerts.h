#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "collector/alerts/DesktopNotifications.h"

// Where a data plan stands in its current cycle, for one network kind: what the alerts decide
// on, filled from the host's PlanStatus (PlanMonitor.h); every byte figure is a count of bytes.
struct PlanAlertStatus {
    std::string kind;        // the network kind the plan is for: "cellular", "wifi"
    std::string cycleStart;  // the cycle's first day, "yyyy-MM-dd"
    std::uint64_t used = 0;
    std::uint64_t warning = 0;    // 0: no warning
    std::uint64_t limit = 0;      // 0: no limit
    std::uint64_t projected = 0;  // used by the cycle's end at the last four days' rate
    std::string topApplication;   // the identifier of the application that used most this cycle
    std::uint64_t topApplicationBytes = 0;
};

enum class PlanAlert { Warning, Limit, RapidUse };

// "warning", "limit", "rapid-use": the names kept in the database.
const char* planAlertName(PlanAlert alert);

// The alerts a status has reached, in the order they go out. Warning: used reached the warning.
// Limit: used reached the limit. Rapid use: below the limit, the projection exceeds the limit by
// more than half. A status past its limit does not also warn: the limit says more.
std::vector<PlanAlert> reachedPlanAlerts(const PlanAlertStatus& status);

// How a byte count is printed: the host's usageString unless a test hands in another.
using ByteFormatter = std::function<std::string(std::uint64_t)>;

// The notification of one alert: clear English, sizes through `formatBytes`, the application by
// its title (its identifier when it has no desktop entry), every text escaped for the body's
// markup; and the actions that open the Data plan page, and for a limit that pauses mobile data
// (the cellular plan's) the action that resumes it.
DesktopNotifications::Notification planAlertNotification(PlanAlert alert,
                                                         const PlanAlertStatus& status,
                                                         const ByteFormatter& formatBytes);

// The one place that says how the Data plan page is opened: the window, on that page.
std::vector<std::string> dataPlanPageCommand();

// The collector's plan alerts: each alert goes to the desktop once per plan kind and cycle.
// What was sent is kept in table `plan_alerts` of the usage database, so that a collector that
// restarts within the cycle does not send it again. An alert that could not be sent (no
// notification service, no bus, the database unreadable) is not kept, and goes out at the next
// update() that finds the service. Clicking the notification or its "Open Data plan" action runs
// the open command, its "Resume" the resume handler. Used from the main thread, which must run the
// main run loop for the actions.
class PlanAlerts {
  public:
    struct Options {
        std::string databasePath;  // the usage database
        std::string busAddress;    // the session bus when empty
        // Without one, sizes are printed as the pages print them (host usageString).
        ByteFormatter formatBytes;
        std::vector<std::string> openCommand = dataPlanPageCommand();
        // What the cellular limit notification's "Resume" does: ends the pause of mobile data.
        std::function<void()> resume;
    };

    explicit PlanAlerts(Options options);

    // Sends the alerts `status` has reached that its kind's cycle has not had yet. Returns how
    // many were sent.
    int update(const PlanAlertStatus& status);

  private:
    void actionInvoked(std::uint32_t id, const std::string& action);
    void open();
    // Logs a database problem once until the database answers again.
    void databaseProblem(const std::string& what);

    Options options_;
    DesktopNotifications notifications_;
    std::set<std::uint32_t> shown_;  // the ids of this object's notifications still on screen
    bool databaseProblemLogged_ = false;
};
