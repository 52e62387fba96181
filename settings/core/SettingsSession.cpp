#include "settings/core/SettingsSession.h"

#include <cstdlib>
#include <ostream>

#include "settings/core/SessionCollector.h"
#include "settings/core/SettingsApplication.h"
#include "settings/core/SettingsBundle.h"

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
