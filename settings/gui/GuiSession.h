#pragma once

#include <iosfwd>
#include <optional>
#include <string>

#include "settings/core/SessionOptions.h"

// `bytarn gui`: the Settings application in a desktop window, with the host's run loop inside
// GLib's main loop. Without a graphical display it says so in one line and returns 1. With a
// screenshots directory it takes the pictures that the steps on `steps` ask for (see
// takeScreenshots) and quits.
int runGuiSession(const SessionOptions& options, const std::optional<std::string>& screenshots,
                  std::istream& steps, std::ostream& err);
