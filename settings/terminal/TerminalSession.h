#pragma once

#include <iosfwd>

#include "settings/core/SessionOptions.h"

// `bytarn` on a terminal (and `bytarn ui`): the Settings application, interactive, in the
// terminal on standard input and output. The clock starts at --now, when given, and then runs in
// real time. The session waits on the terminal and on the main run loop together and sleeps
// while neither has anything for it. It gives the terminal back however it ends: q, end of input,
// SIGINT, SIGTERM or SIGHUP. Returns the exit status; problems that stop it from starting are
// reported on `err`.
int runTerminalSession(const SessionOptions& options, std::ostream& err);
