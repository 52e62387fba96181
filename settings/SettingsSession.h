#pragma once

#include <iosfwd>
#include <memory>

#include "settings/SessionOptions.h"

class SettingsApplication;

// The front ends of the Settings application, runnable in-process: each takes its options and
// streams and returns the process exit status. Problems that stop a run before it starts (an
// unknown zone, no bundles directory, an unreadable script) are reported on `err`.

// Applies the options, finds and loads the bundles and starts the application; nothing, after
// saying why on `err`, when that cannot be done.
std::unique_ptr<SettingsApplication> startSettingsApplication(const SessionOptions& options,
                                                              std::ostream& err);

// `bytarn script`: the script comes from options.scriptFile, else from `standardInput`.
int runScriptSession(const SessionOptions& options, std::istream& standardInput, std::ostream& out,
                     std::ostream& err);

// `bytarn view`: opens the bundle's page and prints it as text.
int runViewSession(const SessionOptions& options, std::ostream& out, std::ostream& err);
