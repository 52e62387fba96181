#include "settings/core/BundleCommandSession.h"

#include <ostream>

#include "host/foundation/CommandRegistry.h"
#include "settings/core/SettingsApplication.h"
#include "settings/core/SettingsSession.h"

int runBundleCommand(const SessionOptions& options, const std::string& name,
                     const std::vector<std::string>& arguments, std::ostream& out,
                     std::ostream& err) {
    SessionOptions quiet = options;
    quiet.collector = CollectorMode::None;
    quiet.syntheticTraffic = false;
    auto application = startSettingsApplication(quiet, err);
    if (!application) return 1;
    auto command = CommandRegistry::shared().create(name);
    if (!command) {
        err << "bytarn: no loaded bundle offers the command \"" << name << "\"\n";
        return 1;
    }
    return command->run(arguments, out, err);
}
