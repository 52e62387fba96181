#pragma once

#include <optional>
#include <string>

#include "collector/sources/TrafficHelperLine.h"

// Asks the traffic helper which network counts as what: connects to its socket, says that it only
// watches the interfaces (so it neither takes a collector's place nor any deltas, and
// acknowledges nothing), and returns the first interfaces message. Nothing, with the reason in
// *error, when the helper cannot be reached, speaks another protocol version, refuses without
// the list, or sends nothing usable within `timeoutSeconds`.
std::optional<TrafficHelperInterfaces> queryHelperInterfaces(const std::string& socketPath,
                                                             double timeoutSeconds,
                                                             std::string* error);
