#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "settings/core/SessionOptions.h"

// Runs a command that a loaded bundle offers (`bytarn report`): starts the application as every
// front end does, so that --now, --tz, --locale and --bundles apply, but with no collector (a
// command reads what is stored and sends nothing), then hands the command its arguments.
// Returns the command's exit status; 1, after saying why on `err`, when the application cannot
// start or no loaded bundle offers the command.
int runBundleCommand(const SessionOptions& options, const std::string& name,
                     const std::vector<std::string>& arguments, std::ostream& out,
                     std::ostream& err);
