#pragma once

#include <string>

#include "host/foundation/Value.h"

// The Settings host's preference store: one XML plist per preference domain, in
// $XDG_CONFIG_HOME/bytarn/<domain>.plist (by default ~/.config/bytarn/). Files are read afresh at
// every call, so another process's writes are seen, and every write replaces the file atomically.
namespace PreferenceStore {

// The stored value, or nil when the domain, its file or the key is missing or unreadable.
// A corrupt file logs a line and reads as empty.
Value valueForKey(const std::string& domain, const std::string& key);

// Stores (or, with a nil value, removes) one key. Returns false and logs when the domain is
// unusable (empty, or holding "/" or starting with ".") or the file cannot be written; the old
// file is then left untouched.
bool setValueForKey(const std::string& domain, const std::string& key, const Value& value);

// Every stored key of a domain, as a dictionary (empty when nothing is stored).
Value::Dictionary allValues(const std::string& domain);

// The file that holds a domain; empty for an unusable domain.
std::string pathForDomain(const std::string& domain);

}  // namespace PreferenceStore
