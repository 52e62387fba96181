// A preference domain whose file holds untrusted bytes. Reading it must not crash, and storing a
// key afterwards must keep every value that was read (a readable file) or set the old file aside
// byte for byte (an unreadable one): a write never loses what was there.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "host/foundation/PreferenceStore.h"
#include "host/foundation/PropertyList.h"

namespace {

const char* const kDomain = "org.bytarn";
const char* const kStoredKey = "fuzz.stored";

using FuzzSupport::fail;

std::string readWhole(const std::string& path) {
    std::string bytes;
    if (std::FILE* file = std::fopen(path.c_str(), "rb")) {
        char buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) bytes.append(buffer, n);
        std::fclose(file);
    }
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzSupport::resetForInput();
    const std::string bytes(FuzzSupport::textOf(data, size));
    const std::string path = PreferenceStore::pathForDomain(kDomain);
    FuzzSupport::writeFile(".config/bytarn/org.bytarn.plist", bytes);

    // What a page reads: every key, then a few by name.
    Value::Dictionary before = PreferenceStore::allValues(kDomain);
    for (const char* key : {"comparator", "devices", "period", "startDate", "endDate"})
        PreferenceStore::valueForKey(kDomain, key);
    for (const auto& [key, value] : before) {
        if (!(PreferenceStore::valueForKey(kDomain, key) == value) && value == value)
            fail("a key reads differently alone", key);
    }
    std::string parseError;
    const bool readable = PropertyList::parse(bytes, &parseError).has_value();

    if (!PreferenceStore::setValueForKey(kDomain, kStoredKey, Value(std::string("stored"))))
        fail("storing a key in the scratch home failed", bytes);

    Value::Dictionary expected = before;
    expected.insert_or_assign(kStoredKey, Value(std::string("stored")));
    Value::Dictionary after = PreferenceStore::allValues(kDomain);
    if (PropertyList::toXml(Value(after)) != PropertyList::toXml(Value(expected)))
        fail("storing a key changed or lost other keys", PropertyList::toXml(Value(after)));

    // A file that held no dictionary is kept under a second name before it is replaced.
    const bool dictionary = readable && PropertyList::parse(bytes)->dictionary();
    if (!dictionary) {
        std::string kept = path + ".corrupt";
        if (!std::filesystem::exists(kept)) fail("an unreadable file was replaced unkept", bytes);
        if (readWhole(kept) != bytes) fail("the kept copy differs from the unreadable file", bytes);
    }
    return 0;
}
