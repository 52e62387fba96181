#pragma once

#include <iosfwd>
#include <string>

// `bytarn networks`: which network counts as what, as the traffic helper decides it now: each
// interface, its kind and why ("metered (NetworkManager)", "rule line 3 of
// /etc/bytarn/interfaces", ...). Asks the helper at `socketPath` for its interfaces only, so a
// running collector is not disturbed, and prints them as an aligned table or, with `json`, one
// JSON document. Returns 0, or 1 after a "bytarn: ..." line when the helper cannot tell.
int runNetworksCommand(const std::string& socketPath, bool json, std::ostream& out,
                       std::ostream& err);

// Where the helper listens unless told otherwise.
const char* defaultTrafficSocketPath();
