#pragma once

#include <functional>
#include <iosfwd>
#include <map>
#include <memory>
#include <string>
#include <vector>

class PSListController;
class PSSpecifier;
class SettingsApplication;
struct NSIndexPath;

// Drives a Settings application from a script: one command per line, answers as JSON lines on
// the output. A failing or unknown command prints {"error":"..."} and the script goes on; the
// run's status tells whether anything failed. The main run loop is run until idle after every
// command, notifications delivered in between, so whatever a command queued has happened before
// the next one.
class ScriptRunner {
  public:
    ScriptRunner(SettingsApplication& application, std::ostream& out);

    // Runs every line of the script. Returns the exit status: 1 when a command failed, else 0.
    int run(std::istream& script);

    // Runs one line; blank lines and "#" comments do nothing. Returns false when it failed.
    bool runLine(std::string line);

    bool anyFailed() const { return anyFailed_; }

    // The names the script understands.
    static std::vector<std::string> commandNames();

  private:
    enum class ArgumentRule { None, Required, Optional, Ignored };
    struct Command {
        ArgumentRule argument;
        std::function<void(ScriptRunner&, const std::string& argument)> run;
    };
    static const std::map<std::string, Command>& commands();

    void open(const std::string&);
    void dump(const std::string&);
    void tap(const std::string& name);
    void press(const std::string& side);
    void back(const std::string&);
    void swipe(const std::string& name);
    void deleteRow(const std::string& name);
    void type(const std::string& nameAndText);
    void flip(const std::string& nameAndState);
    void pick(const std::string& date);
    void advance(const std::string& seconds);
    void sql(const std::string& statement);
    void notify(const std::string&);
    void messages(const std::string&);
    void log(const std::string&);
    void prefs(const std::string&);

    std::shared_ptr<PSListController> topListPage() const;
    std::shared_ptr<PSSpecifier> rowNamed(PSListController& page, const std::string& name) const;
    NSIndexPath tablePositionOf(PSListController& page, const std::string& name) const;
    void print(const std::string& line);

    SettingsApplication& application_;
    std::ostream& out_;
    bool anyFailed_ = false;
};
