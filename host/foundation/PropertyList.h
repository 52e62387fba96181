#pragma once

#include <optional>
#include <string>

#include "host/foundation/Value.h"

// Property-list files, XML or binary, read and written through libplist.
namespace PropertyList {

// Parses a whole file. Nothing, with a reason in *error, when the file is missing, unreadable or
// not a property list. Dates become real numbers (seconds since 1970), data blobs are skipped.
std::optional<Value> readFile(const std::string& path, std::string* error = nullptr);

// Parses a property list held in memory (XML or binary).
std::optional<Value> parse(const std::string& bytes, std::string* error = nullptr);

// XML text of a value. A nil value is written as an empty dictionary.
std::string toXml(const Value& value);

// Writes the value as an XML plist that replaces the file atomically: the text goes to a
// temporary file in the same directory, is flushed to disk, and is renamed over the target.
// On any failure the old file is left as it was, the temporary file is removed, and false is
// returned with a reason in *error. Missing parent directories are created.
bool writeFileAtomically(const std::string& path, const Value& value, std::string* error = nullptr);

}  // namespace PropertyList
