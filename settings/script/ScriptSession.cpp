#include "settings/script/ScriptSession.h"

#include <filesystem>
#include <fstream>
#include <ostream>

#include "collector/UsageDatabase.h"
#include "host/foundation/RunLoop.h"
#include "settings/core/SettingsApplication.h"
#include "settings/core/SettingsSession.h"
#include "settings/script/ScriptRunner.h"
#include "settings/script/TextView.h"

int runScriptSession(const SessionOptions& options, std::istream& standardInput, std::ostream& out,
                     std::ostream& err) {
    std::ifstream file;
    if (options.scriptFile) {
        file.open(*options.scriptFile);
        if (!file) {
            err << "bytarn: cannot read script " << *options.scriptFile << "\n";
            return 1;
        }
    }
    auto application = startSettingsApplication(options, err);
    if (!application) return 1;
    ScriptRunner runner(*application, out);
    int status = runner.run(options.scriptFile ? file : standardInput);
    if (file.bad() || (!options.scriptFile && standardInput.bad())) {
        err << "bytarn: reading the script failed\n";
        status = 1;
    }
    return status;
}

int runViewSession(const SessionOptions& options, std::ostream& out, std::ostream& err) {
    auto application = startSettingsApplication(options, err);
    if (!application) return 1;
    // An empty page would look like a day without traffic. The interactive front ends open on
    // it all the same (the collector fills it as it counts); the printed view says why instead.
    std::string database = UsageDatabase::defaultPath();
    std::error_code ec;
    if (!std::filesystem::exists(database, ec)) {
        err << "bytarn: no usage database yet at " << database
            << ": start the collector (systemctl --user enable --now bytarn-collector), or make "
               "one with synthetic usage for a demo (bytarn-collector seed)\n";
        return 1;
    }
    std::string error;
    bool opened = options.page ? application->openBundleNamed(*options.page, &error)
                               : application->openFirstBundle(&error);
    if (!opened) {
        err << "bytarn: " << error << "\n";
        return options.page ? 2 : 1;  // a page name that names no page is a usage error
    }
    RunLoop::main().runUntilIdle();
    out << TextView::renderPage(*application->topPage());
    out.flush();
    return 0;
}
