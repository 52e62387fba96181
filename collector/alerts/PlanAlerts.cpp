#include "collector/alerts/PlanAlerts.h"

#include <glib.h>
#include <sqlite3.h>

#include <memory>
#include <stdexcept>

#include "collector/UsageDatabase.h"
#include "host/activator/LAActivator.h"
#include "host/foundation/Clock.h"
#include "host/foundation/SystemLog.h"
#include "host/foundation/UsageString.h"
#include "host/netpolicy/PlanPause.h"

namespace {

void bindKey(sqlite3_stmt* statement, const PlanAlertStatus& status, PlanAlert alert) {
    sqlite3_bind_text(statement, 1, status.kind.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(statement, 2, status.cycleStart.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(statement, 3, planAlertName(alert), -1, SQLITE_STATIC);
}

bool recorded(sqlite3* db, const PlanAlertStatus& status, PlanAlert alert) {
    auto statement = prepareStatement(
        db, "SELECT 1 FROM plan_alerts WHERE kind = ? AND cycle = ? AND alert = ?;");
    bindKey(statement.get(), status, alert);
    int rc = sqlite3_step(statement.get());
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) throw std::runtime_error(sqlite3_errmsg(db));
    return rc == SQLITE_ROW;
}

// `notified` is false for an alert that a graver one made needless.
void record(sqlite3* db, const PlanAlertStatus& status, PlanAlert alert, bool notified) {
    auto statement =
        prepareStatement(db,
                         "INSERT OR IGNORE INTO plan_alerts (kind, cycle, alert, sent, notified)"
                         " VALUES (?, ?, ?, ?, ?);");
    bindKey(statement.get(), status, alert);
    sqlite3_bind_double(statement.get(), 4, Clock::now());
    sqlite3_bind_int(statement.get(), 5, notified ? 1 : 0);
    if (sqlite3_step(statement.get()) != SQLITE_DONE) throw std::runtime_error(sqlite3_errmsg(db));
}

const char* kindTitle(const std::string& kind) {
    if (kind == "cellular") return "Mobile data";
    if (kind == "wifi") return "Wi-Fi data";
    return "Data";
}

// The body may be read as the notification markup: text in it is escaped.
std::string escaped(const std::string& text) {
    char* escaped = g_markup_escape_text(text.c_str(), static_cast<gssize>(text.size()));
    std::string result = escaped;
    g_free(escaped);
    return result;
}

}  // namespace

const char* planAlertName(PlanAlert alert) {
    switch (alert) {
        case PlanAlert::Warning:
            return "warning";
        case PlanAlert::Limit:
            return "limit";
        case PlanAlert::RapidUse:
            break;
    }
    return "rapid-use";
}

std::vector<PlanAlert> reachedPlanAlerts(const PlanAlertStatus& status) {
    if (status.limit > 0 && status.used >= status.limit) return {PlanAlert::Limit};
    std::vector<PlanAlert> reached;
    if (status.warning > 0 && status.used >= status.warning) reached.push_back(PlanAlert::Warning);
    // Exceeds the limit by more than half, without overflowing near 2^64.
    if (status.limit > 0 && status.projected > status.limit &&
        status.projected - status.limit > status.limit / 2)
        reached.push_back(PlanAlert::RapidUse);
    return reached;
}

DesktopNotifications::Notification planAlertNotification(PlanAlert alert,
                                                         const PlanAlertStatus& status,
                                                         const ByteFormatter& formatBytes) {
    DesktopNotifications::Notification notification;
    notification.appName = "Bytarn";
    notification.icon = "org.bytarn.Bytarn";
    notification.desktopEntry = "org.bytarn.Bytarn";
    notification.actions = {{"default", "Open Data plan"}, {"open", "Open Data plan"}};
    const std::string data = kindTitle(status.kind);
    const std::string used = escaped(formatBytes(status.used));
    const std::string limit = escaped(formatBytes(status.limit));
    switch (alert) {
        case PlanAlert::Warning:
            notification.summary = data + ": warning reached";
            notification.body = used + (status.limit > 0 ? " of " + limit : std::string()) +
                                " used this cycle; the warning is at " +
                                escaped(formatBytes(status.warning)) + ".";
            break;
        case PlanAlert::Limit:
            notification.summary = data + ": limit reached";
            notification.body = used + " used this cycle; the limit is " + limit + ".";
            notification.urgency = DesktopNotifications::Urgency::Critical;
            if (PlanPause::pausesAtLimit(status.kind)) {
                notification.body +=
                    " Mobile data is paused for the applications that are not always allowed "
                    "until the next cycle.";
                notification.actions.emplace_back("resume", "Resume");
            }
            break;
        case PlanAlert::RapidUse: {
            notification.summary = data + " is going fast";
            notification.body = "At the last four days' rate, " +
                                escaped(formatBytes(status.projected)) +
                                " will be used by the cycle's end; the limit is " + limit + ".";
            // Named only when it made most of the use: more than half of the cycle's.
            if (!status.topApplication.empty() && status.topApplicationBytes > status.used / 2) {
                auto title = LAActivator::sharedInstance().localizedTitleForListenerName(
                    status.topApplication);
                notification.body += " " + escaped(title.value_or(status.topApplication)) +
                                     " used " + escaped(formatBytes(status.topApplicationBytes)) +
                                     " of the " + used + ".";
            }
            break;
        }
    }
    return notification;
}

std::vector<std::string> dataPlanPageCommand() {
    return {"bytarn", "gui", "--page", "dataplan"};
}

PlanAlerts::PlanAlerts(Options options)
    : options_(std::move(options)), notifications_(options_.busAddress) {
    if (!options_.formatBytes) options_.formatBytes = usageString;
    notifications_.setActionHandler(
        [this](std::uint32_t id, const std::string& action) { actionInvoked(id, action); });
    notifications_.setClosedHandler([this](std::uint32_t id, std::uint32_t) { shown_.erase(id); });
}

int PlanAlerts::update(const PlanAlertStatus& status) {
    const auto reached = reachedPlanAlerts(status);
    if (reached.empty()) return 0;
    int sent = 0;
    try {
        UsageDatabase database(options_.databasePath);
        sqlite3* db = database.handle();
        for (PlanAlert alert : reached) {
            if (recorded(db, status, alert)) continue;
            auto id =
                notifications_.notify(planAlertNotification(alert, status, options_.formatBytes));
            // Unsent, unrecorded: the next update tries again.
            if (!id) break;
            shown_.insert(*id);
            ++sent;
            record(db, status, alert, true);
            if (alert == PlanAlert::Limit) record(db, status, PlanAlert::Warning, false);
        }
        databaseProblemLogged_ = false;
    } catch (const std::exception& error) {
        databaseProblem(error.what());
    }
    return sent;
}

void PlanAlerts::actionInvoked(std::uint32_t id, const std::string& action) {
    // Every client's notifications are numbered by the one service: only ours open the page.
    if (!shown_.count(id)) return;
    if (action == "resume") {
        if (options_.resume) options_.resume();
    } else if (action == "open" || action == "default") {
        open();
    }
}

void PlanAlerts::open() {
    if (options_.openCommand.empty()) return;
    std::vector<char*> argv;
    for (auto& argument : options_.openCommand) argv.push_back(argument.data());
    argv.push_back(nullptr);
    GError* error = nullptr;
    // Without G_SPAWN_DO_NOT_REAP_CHILD GLib runs the command through an intermediate child, so
    // no zombie is left and no child watch is needed.
    if (!g_spawn_async(nullptr, argv.data(), nullptr, G_SPAWN_SEARCH_PATH, nullptr, nullptr,
                       nullptr, &error)) {
        SystemLog::writef("PlanAlerts: cannot open the Data plan page (%s): %s", argv[0],
                          error->message);
        g_error_free(error);
    }
}

void PlanAlerts::databaseProblem(const std::string& what) {
    if (databaseProblemLogged_) return;
    databaseProblemLogged_ = true;
    SystemLog::writef("PlanAlerts: %s; plan alerts wait until the database answers", what.c_str());
}
