// Property lists from untrusted bytes, XML or binary, as preference files and bundle plists
// arrive. Whatever parses must come back unchanged from the XML this program writes for it:
// otherwise a preference file rewritten after such a read would lose or change values.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "host/foundation/PropertyList.h"

namespace {

using FuzzSupport::fail;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(FuzzSupport::textOf(data, size));
    std::string error;
    auto value = PropertyList::parse(bytes, &error);
    if (!value) {
        if (error.empty()) fail("a refused property list gave no reason", bytes);
        return 0;
    }
    const std::string xml = PropertyList::toXml(*value);
    std::string again;
    auto reread = PropertyList::parse(xml, &again);
    if (!reread) fail(("the XML written for a parsed list does not parse: " + again).c_str(), xml);
    if (PropertyList::toXml(*reread) != xml) fail("the XML written for a parsed list changed", xml);
    return 0;
}
