#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "host/foundation/Value.h"

class PSListController;
class PSSpecifier;
class PSViewController;

// The machine-readable picture of a page that the script front end prints and that tests and
// outside checks compare: class, title, bar buttons and rows, keys in a fixed order.
namespace PageDump {

using Json = nlohmann::ordered_json;

// {"class":C,"title":T,"left":B,"right":B,"rows":[R,...]}. A page that is no list page has no
// rows. Asking for the rows builds the page when it has not been built yet.
Json pageJSON(PSViewController& page);
// A row; the items of a choice list add whether they are checked, a text entry row its
// placeholder.
Json rowJSON(PSListController& page, PSSpecifier& row);

// A plist value as JSON: strings, numbers, flags, arrays and dictionaries; nil is null.
Json valueJSON(const Value& value);

// One line of JSON. Text that is not UTF-8 is printed with replacement characters rather than
// refused.
std::string line(const Json& json);

}  // namespace PageDump
