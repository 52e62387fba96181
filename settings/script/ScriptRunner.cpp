#include "settings/script/ScriptRunner.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <istream>
#include <optional>
#include <ostream>
#include <stdexcept>

#include "collector/UsageCollector.h"
#include "collector/UsageDatabase.h"
#include "host/foundation/NSDateFormatter.h"
#include "host/foundation/PreferenceStore.h"
#include "host/foundation/RunLoop.h"
#include "host/foundation/SystemLog.h"
#include "host/messaging/CFNotificationCenter.h"
#include "host/preferences/PSListController.h"
#include "host/ui/UIDatePicker.h"
#include "host/ui/UIKit.h"
#include "settings/core/SessionCollector.h"
#include "settings/core/SessionOptions.h"
#include "settings/core/SettingsApplication.h"
#include "settings/script/PageDump.h"

namespace {

using PageDump::Json;

// A command that cannot do what it was asked; its message becomes the error line.
class ScriptError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

bool isBlank(const std::string& text) {
    return text.find_first_not_of(" \t") == std::string::npos;
}

// Runs one step; a failure of any kind comes back as its message.
template <class Step>
std::optional<std::string> failureOf(Step&& step) {
    try {
        step();
        return std::nullopt;
    } catch (const std::exception& failure) {
        return std::string(failure.what());
    } catch (...) {
        return std::string("failed for an unknown reason");
    }
}

std::string inQuotes(const std::string& text) {
    return "\"" + text + "\"";
}

// Runs the main queue until nothing is left, notifications included: a collector in this
// process posts its change notification while it handles a message, and the reload that the
// notification brings about belongs to the command that sent the message. Bounded, in case
// something keeps posting.
void settle() {
    RunLoop& loop = RunLoop::main();
    loop.runUntilIdle();
    for (int round = 0; round < 100; ++round) {
        CFNotificationCenterWaitUntilDelivered();
        if (loop.runUntilIdle() == 0) return;
    }
}

// The local calendar day of an instant, "yyyy-MM-dd".
const NSDateFormatter& dayFormatter() {
    static NSDateFormatter formatter;
    static const bool ready = [] {
        formatter.setLocale("en_US_POSIX");
        formatter.setDateFormat("yyyy-MM-dd");
        return true;
    }();
    (void)ready;
    return formatter;
}

}  // namespace

ScriptRunner::ScriptRunner(SettingsApplication& application, std::ostream& out)
    : application_(application), out_(out) {}

const std::map<std::string, ScriptRunner::Command>& ScriptRunner::commands() {
    using A = ArgumentRule;
    static const std::map<std::string, Command> table{
        {"open", {A::Optional, &ScriptRunner::open}},
        {"dump", {A::None, &ScriptRunner::dump}},
        {"tap", {A::Required, &ScriptRunner::tap}},
        {"press", {A::Required, &ScriptRunner::press}},
        {"back", {A::None, &ScriptRunner::back}},
        {"swipe", {A::Required, &ScriptRunner::swipe}},
        {"delete", {A::Required, &ScriptRunner::deleteRow}},
        {"type", {A::Required, &ScriptRunner::type}},
        {"switch", {A::Required, &ScriptRunner::flip}},
        {"advance", {A::Required, &ScriptRunner::advance}},
        {"sql", {A::Required, &ScriptRunner::sql}},
        {"log", {A::None, &ScriptRunner::log}},
        {"prefs", {A::None, &ScriptRunner::prefs}},
        {"pick", {A::Required, &ScriptRunner::pick}},
        {"notify", {A::None, &ScriptRunner::notify}},
        {"messages", {A::None, &ScriptRunner::messages}},
    };
    return table;
}

std::vector<std::string> ScriptRunner::commandNames() {
    std::vector<std::string> names;
    for (const auto& [name, command] : commands()) names.push_back(name);
    return names;
}

int ScriptRunner::run(std::istream& script) {
    std::string line;
    while (std::getline(script, line)) runLine(std::move(line));
    return anyFailed_ ? 1 : 0;
}

bool ScriptRunner::runLine(std::string line) {
    if (!line.empty() && line.back() == '\r') line.pop_back();  // scripts saved with CRLF
    size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == '#') return true;

    size_t end = line.find_first_of(" \t", start);
    std::string word = line.substr(start, end == std::string::npos ? end : end - start);
    // The argument is the rest of the line after the one separator, spaces included: row names
    // may begin or end with spaces.
    std::string argument = end == std::string::npos ? std::string() : line.substr(end + 1);

    // What arrived from other threads while the script was read (a collector's notification
    // over the bus, say) happens before the command.
    auto arrivedFailure = failureOf(settle);
    if (arrivedFailure)
        print(PageDump::line(Json{{"error", "before " + word + ": " + *arrivedFailure}}));

    auto failure = failureOf([&] {
        auto found = commands().find(word);
        if (found == commands().end()) {
            std::string known;
            for (const auto& name : commandNames()) known += (known.empty() ? "" : ", ") + name;
            throw ScriptError("unknown command " + inQuotes(word) + " (commands: " + known + ")");
        }
        const Command& command = found->second;
        if (command.argument == ArgumentRule::None && !isBlank(argument))
            throw ScriptError(word + " takes no argument");
        if (command.argument == ArgumentRule::Required && argument.empty())
            throw ScriptError(word + " needs an argument");
        command.run(*this, argument);
    });
    if (failure) print(PageDump::line(Json{{"error", *failure}}));
    auto queuedFailure = failureOf(settle);
    if (queuedFailure)
        print(PageDump::line(Json{{"error", "after " + word + ": " + *queuedFailure}}));
    bool ok = !arrivedFailure && !failure && !queuedFailure;
    if (!ok) anyFailed_ = true;
    return ok;
}

void ScriptRunner::print(const std::string& line) {
    out_ << line << '\n';
    out_.flush();
}

std::shared_ptr<PSListController> ScriptRunner::topListPage() const {
    auto top = application_.topPage();
    auto list = std::dynamic_pointer_cast<PSListController>(top);
    if (!list) throw ScriptError("the top page " + (top ? top->className() : "") + " has no rows");
    return list;
}

std::shared_ptr<PSSpecifier> ScriptRunner::rowNamed(PSListController& page,
                                                    const std::string& name) const {
    for (const auto& row : page.specifiers())
        if (row->name() == name) return row;
    throw ScriptError("no row named " + inQuotes(name) + " on page " + inQuotes(page.title()));
}

NSIndexPath ScriptRunner::tablePositionOf(PSListController& page, const std::string& name) const {
    auto row = rowNamed(page, name);
    auto position = page.indexPathForIndex(page.indexOfSpecifier(row));
    if (!position)
        throw ScriptError("row " + inQuotes(name) + " is a group header, not a table row");
    return *position;
}

void ScriptRunner::open(const std::string& name) {
    std::string error;
    bool opened = isBlank(name) ? application_.openFirstBundle(&error)
                                : application_.openBundleNamed(name, &error);
    if (!opened) throw ScriptError(error);
}

void ScriptRunner::dump(const std::string&) {
    print(PageDump::line(PageDump::pageJSON(*application_.topPage())));
}

void ScriptRunner::tap(const std::string& name) {
    auto page = topListPage();
    auto row = rowNamed(*page, name);
    std::string error;
    if (!page->didSelectSpecifier(row, &error))
        throw ScriptError(error.empty() ? "tapping " + inQuotes(name) + " did nothing" : error);
}

void ScriptRunner::press(const std::string& side) {
    auto page = application_.topPage();
    const UINavigationItem& item = page->navigationItem();
    std::shared_ptr<UIBarButtonItem> button;
    if (side == "left")
        button = item.leftBarButtonItem();
    else if (side == "right")
        button = item.rightBarButtonItem();
    else
        throw ScriptError("press takes left or right, not " + inQuotes(side));
    if (!button) throw ScriptError("the page has no " + side + " button");
    if (!button->press()) throw ScriptError("the " + side + " button did nothing");
}

void ScriptRunner::back(const std::string&) {
    if (!application_.navigationController()->popViewControllerAnimated(true))
        throw ScriptError("already at the Settings page; there is nothing to go back to");
}

void ScriptRunner::swipe(const std::string& name) {
    auto page = topListPage();
    NSIndexPath position = tablePositionOf(*page, name);
    UITableViewCellEditingStyle style = page->tableView(page->table(), position);
    print(PageDump::line(Json{{"editingStyle", static_cast<int>(style)}}));
}

void ScriptRunner::deleteRow(const std::string& name) {
    auto page = topListPage();
    NSIndexPath position = tablePositionOf(*page, name);
    page->tableView(page->table(), UITableViewCellEditingStyleDelete, position);
}

// "type NAME = TEXT": the text typed into a text entry row and committed. Names and texts may
// hold spaces, so the first " = " divides them; nothing after it cancels, as an empty field does.
void ScriptRunner::type(const std::string& argument) {
    std::string name, text;
    if (size_t at = argument.find(" = "); at != std::string::npos) {
        name = argument.substr(0, at);
        text = argument.substr(at + 3);
    } else if (argument.ends_with(" =")) {
        name = argument.substr(0, argument.size() - 2);
    } else {
        throw ScriptError("type takes NAME = TEXT, not " + inQuotes(argument));
    }
    auto page = topListPage();
    commitEditText(rowNamed(*page, name), text);
}

// "switch NAME = on|off": a switch row turned on or off, the same way as "type" names its row.
// A state rather than a flip, so that a script says what it wants whatever the switch was.
void ScriptRunner::flip(const std::string& argument) {
    size_t at = argument.rfind(" = ");
    std::string state = at == std::string::npos ? std::string() : argument.substr(at + 3);
    if (state != "on" && state != "off")
        throw ScriptError("switch takes NAME = on|off, not " + inQuotes(argument));
    auto page = topListPage();
    commitSwitch(rowNamed(*page, argument.substr(0, at)), state == "on");
}

void ScriptRunner::pick(const std::string& text) {
    auto page = application_.topPage();
    auto picker = page->view()->findSubview<UIDatePicker>();
    if (!picker) throw ScriptError("the page has no date picker");
    std::string error;
    if (text.find('T') != std::string::npos) {
        auto instant = parseLocalInstant(text, &error);
        if (!instant) throw ScriptError(error);
        picker->setDate({*instant});
        return;
    }
    // A day alone turns day, month and year and keeps the time of day the picker holds.
    auto midnight = parseLocalInstant(text + "T00:00:00", &error);
    if (!midnight)
        throw ScriptError("pick takes YYYY-MM-DD or YYYY-MM-DDTHH:MM:SS, not " + inQuotes(text));
    auto shown = dayFormatter().stringFromDate(picker->date()).value_or("");
    auto shownMidnight = parseLocalInstant(shown + "T00:00:00", &error);
    double timeOfDay = shownMidnight ? picker->date().timeIntervalSince1970 - *shownMidnight : 0;
    auto day = dayFormatter().stringFromDate(NSDate{*midnight + timeOfDay});
    // Across a change of the clocks the same time of day may land on a neighbouring day; the
    // day the user asked for wins.
    picker->setDate({day == text ? *midnight + timeOfDay : *midnight});
}

void ScriptRunner::advance(const std::string& text) {
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    double seconds = std::strtod(begin, &end);
    bool numeric = end != begin && isBlank(end) && errno == 0 && std::isfinite(seconds);
    if (!numeric) throw ScriptError("advance needs a number of seconds, not " + inQuotes(text));
    if (seconds < 0) throw ScriptError("advance cannot go back in time (" + text + " seconds)");
    RunLoop::main().advance(seconds);
}

void ScriptRunner::sql(const std::string& statement) {
    UsageDatabase database(UsageDatabase::defaultPath());
    std::string error;
    if (!database.execute(statement, &error)) throw ScriptError("sql: " + error);
}

void ScriptRunner::log(const std::string&) {
    print(PageDump::line(Json{{"log", SystemLog::takeCaptured()}}));
}

void ScriptRunner::prefs(const std::string&) {
    auto domain = application_.preferenceDomain();
    if (!domain) throw ScriptError("no loaded bundle names a preference domain");
    Json values = PageDump::valueJSON(Value(PreferenceStore::allValues(*domain)));
    print(PageDump::line(Json{{"prefs", values}}));
}

void ScriptRunner::notify(const std::string&) {
    CFNotificationCenterPostNotification(CFNotificationCenterGetDarwinNotifyCenter(),
                                         BYTARN_IDENTIFIER "/Changed", nullptr, nullptr, true);
    // Observers hand their work to the main queue, which the runner runs after the command.
    CFNotificationCenterWaitUntilDelivered();
}

void ScriptRunner::messages(const std::string&) {
    SessionCollector* session = application_.collector();
    UsageCollector* collector = session ? session->embeddedCollector() : nullptr;
    if (!collector) {
        std::string mode = session ? collectorModeName(session->mode()) : "none";
        throw ScriptError(
            "messages needs the embedded collector, and this session's collector is " + mode);
    }
    Json list = Json::array();
    for (const ReceivedMessage& message : collector->takeMessages()) {
        Json userInfo = nullptr;
        if (message.userInfo) {
            userInfo = Json::object();
            for (const auto& [key, value] : *message.userInfo) userInfo[key] = value;
        }
        list.push_back(Json{{"name", message.name}, {"userInfo", userInfo}});
    }
    print(PageDump::line(Json{{"messages", list}}));
}
