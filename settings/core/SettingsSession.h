#pragma once

#include <iosfwd>
#include <memory>

#include "settings/core/SessionOptions.h"

class SettingsApplication;

// Applies the options, finds and loads the bundles and starts the application; nothing, after
// saying why on `err`, when that cannot be done. Every front end starts here. Problems that stop
// a run before it starts (an unknown zone, no bundles directory) are reported on `err`.
std::unique_ptr<SettingsApplication> startSettingsApplication(const SessionOptions& options,
                                                              std::ostream& err);
