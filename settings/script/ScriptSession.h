#pragma once

#include <iosfwd>

#include "settings/core/SessionOptions.h"

// The non-interactive front ends, runnable in-process: each takes its options and streams and
// returns the process exit status. Problems that stop a run before it starts (an unknown zone,
// no bundles directory, an unreadable script) are reported on `err`.

// `bytarn script`: the script comes from options.scriptFile, else from `standardInput`.
int runScriptSession(const SessionOptions& options, std::istream& standardInput, std::ostream& out,
                     std::ostream& err);

// `bytarn view`: opens the bundle's page and prints it as text; 1, printing nothing, when there
// is no usage database yet.
int runViewSession(const SessionOptions& options, std::ostream& out, std::ostream& err);
