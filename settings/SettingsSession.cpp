#include "settings/SettingsSession.h"

#include <cstdlib>
#include <fstream>
#include <ostream>

#include "host/RunLoop.h"
#include "settings/ScriptRunner.h"
#include "settings/SessionCollector.h"
#include "settings/SettingsApplication.h"
#include "settings/SettingsBundle.h"
#include "settings/TextView.h"

std::unique_ptr<SettingsApplication> startSettingsApplication(const SessionOptions& options,
                                                              std::ostream& err) {
    std::string error;
    if (!applySessionEnvironment(options, &error)) {
        err << "bytarn: " << error << "\n";
        return nullptr;
    }
    auto candidates = bundlesDirectoryCandidates(
        options.bundlesDirectory, std::getenv("BYTARN_BUNDLES_DIR"), executableDirectory());
    auto directory = chooseBundlesDirectory(candidates, &error);
    if (!directory) {
        err << "bytarn: " << error << "\n";
        return nullptr;
    }
    auto collector = SessionCollector::start(requestedCollectorMode(options), &error);
    if (!collector) {
        err << "bytarn: " << error << "\n";
        return nullptr;
    }
    if (options.syntheticTraffic && !collector->startSyntheticTraffic(1))
        err << "bytarn: --synthetic-traffic needs the embedded collector; ignored\n";
    auto application = std::make_unique<SettingsApplication>(loadBundles(*directory, err));
    application->setCollector(std::move(collector));
    return application;
}

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
    std::string error;
    if (!application->openFirstBundle(&error)) {
        err << "bytarn: " << error << "\n";
        return 1;
    }
    RunLoop::main().runUntilIdle();
    out << TextView::renderPage(*application->topPage());
    out.flush();
    return 0;
}
