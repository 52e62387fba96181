#include "host/foundation/PropertyList.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <tuple>

#include "support/TestEnvironment.h"

namespace fs = std::filesystem;

namespace {

std::string bigEndian(std::uint64_t value, int width) {
    std::string bytes;
    for (int i = width - 1; i >= 0; --i) bytes.push_back(static_cast<char>(value >> (8 * i)));
    return bytes;
}
std::string reference(std::uint32_t index) {
    return bigEndian(index, 4);
}

// A binary plist of encoded objects, object 0 the root. Encoded by hand, so that the reader is
// checked against the format rather than against libplist's own writer.
std::string binaryPlist(const std::vector<std::string>& objects) {
    std::string bytes = "bplist00", table;
    for (const auto& object : objects) {
        table += bigEndian(bytes.size(), 4);
        bytes += object;
    }
    return bytes + table + std::string(6, '\0') + "\x04\x04" + bigEndian(objects.size(), 8) +
           bigEndian(0, 8) + bigEndian(bytes.size(), 8);
}

// Object i is an array of the objects listed in children[i].
std::string binaryArrays(const std::vector<std::vector<std::uint32_t>>& children) {
    std::vector<std::string> objects;
    for (const auto& refs : children) {
        objects.emplace_back(1, static_cast<char>(0xA0 | refs.size()));
        for (std::uint32_t ref : refs) objects.back() += reference(ref);
    }
    return binaryPlist(objects);
}

std::string xmlArrays(int depth) {
    std::string open, close;
    for (int i = 0; i < depth; ++i) open += "<array>", close += "</array>";
    return "<plist version=\"1.0\">" + open + close + "</plist>";
}

TEST(PropertyList, XmlRoundTripKeepsEveryTypeAndDropsNil) {
    Value sample = Value::Dictionary{
        {"bool", true},
        {"integers", Value::Array{std::int64_t{-42}, std::numeric_limits<std::int64_t>::min(),
                                  std::numeric_limits<std::int64_t>::max()}},
        {"reals", Value::Array{0.1, 1e300, -2.5}},
        {"strings", Value::Array{"", "Wi-Fi <&> \"quoted\"", "Mobilfunk – Übersicht"}},
        {"nested", Value::Dictionary{{"array", Value::Array{}}, {"dict", Value::Dictionary{}}}}};
    ScratchHome home;
    std::string path = home.path() + "/new/dir/sample.plist", error;
    ASSERT_TRUE(PropertyList::writeFileAtomically(path, sample, &error)) << error;
    EXPECT_EQ(PropertyList::readFile(path, &error), sample) << error;

    EXPECT_EQ(PropertyList::parse(PropertyList::toXml(Value())), Value(Value::Dictionary{}));
    Value withNils = Value::Dictionary{{"gone", Value()}, {"list", Value::Array{1, Value(), 2}}};
    EXPECT_EQ(PropertyList::parse(PropertyList::toXml(withNils)),
              Value(Value::Dictionary{{"list", Value::Array{1, 2}}}));
}

TEST(PropertyList, MapsBinaryDatesToSecondsAndSkipsData) {
    std::vector<std::string> objects(1, "\xD6");
    for (std::uint32_t i = 1; i <= 12; ++i) objects[0] += reference(i);
    for (const char* key : {"count", "ratio", "on", "name", "when", "blob"})
        objects.push_back(static_cast<char>(0x50 | std::strlen(key)) + std::string(key));
    objects.insert(objects.end(), {std::string("\x10\x07", 2),                 // 7
                                   "\x23" + bigEndian(0x3FE0000000000000, 8),  // 0.5
                                   "\x09",                                     // true
                                   "\x58"
                                   "Cellular",                                 // string
                                   "\x33" + bigEndian(0x4059200000000000, 8),  // 2001 + 100.5 s
                                   "\x42\x01\x02"});                           // data
    EXPECT_EQ(PropertyList::parse(binaryPlist(objects)),
              Value(Value::Dictionary{{"count", 7},
                                      {"ratio", 0.5},
                                      {"on", true},
                                      {"name", "Cellular"},
                                      {"when", 978307200.0 + 100.5}}));

    auto integer = [](const char* text) {
        return PropertyList::parse(std::string("<plist><integer>") + text + "</integer></plist>");
    };
    EXPECT_EQ(integer("18446744073709551615"), Value(18446744073709551615.0));
    EXPECT_EQ(integer("-1"), Value(std::int64_t{-1}));
}

TEST(PropertyList, RefusesDamagedAndHostileInputWithAReason) {
    std::string xml = PropertyList::toXml(Value::Dictionary{{"key", "value"}});
    std::string binary = binaryArrays({{1}, {}});
    std::vector<std::vector<std::uint32_t>> chain, doubling;
    for (std::uint32_t i = 0; i < 100000; ++i) chain.push_back({i + 1});
    // 40 levels of [x, x]: a few hundred bytes that expand to 2^40 values.
    for (std::uint32_t i = 0; i < 40; ++i) doubling.push_back({i + 1, i + 1});
    chain.push_back({}), doubling.push_back({});
    std::tuple<const char*, std::string, const char*> cases[] = {
        {"empty", "", "empty"},
        {"text", "this is not a property list", "not a valid XML"},
        {"truncated XML", xml.substr(0, xml.size() / 2), "not a valid XML"},
        {"truncated binary", binary.substr(0, binary.size() - 5), "binary"},
        {"XML too deep", xmlArrays(100000), "nested deeper"},
        {"binary too deep", binaryArrays(chain), "nested deeper"},
        {"binary expanding", binaryArrays(doubling), "more than"},
        {"binary containing itself", binaryArrays({{0}}), "contains itself"},
        // A UTF-16 key "a\0", on which libplist would abort.
        {"binary key with NUL",
         binaryPlist({"\xD1" + reference(1) + reference(2), std::string("\x62\0a\0\0", 5), "\x09"}),
         "NUL"}};
    for (const auto& [name, bytes, reason] : cases) {
        std::string error;
        EXPECT_EQ(PropertyList::parse(bytes, &error), std::nullopt) << name;
        EXPECT_NE(error.find(reason), std::string::npos) << name << ": " << error;
    }
    EXPECT_TRUE(PropertyList::parse(xmlArrays(256)));
    EXPECT_TRUE(PropertyList::parse(binary));

    ScratchHome home;
    std::string error, big = home.path() + "/big.plist";
    EXPECT_FALSE(PropertyList::readFile(home.path() + "/missing.plist", &error));
    EXPECT_NE(error.find("No such file"), std::string::npos) << error;
    home.write("big.plist", "");
    fs::resize_file(big, 17 * 1024 * 1024);
    EXPECT_FALSE(PropertyList::readFile(big, &error));
    EXPECT_NE(error.find("16 MiB"), std::string::npos) << error;
}

TEST(PropertyList, AtomicWriteKeepsModeAndLinksAndLeavesNothingBehind) {
    ScratchHome home;
    std::string directory = home.path() + "/real", target = directory + "/target.plist";
    ASSERT_TRUE(PropertyList::writeFileAtomically(target, 1));
    EXPECT_EQ(fs::status(target).permissions(), fs::perms(0644));
    fs::permissions(target, fs::perms(0600));
    std::string link = home.path() + "/link.plist";
    fs::create_symlink(target, link);
    ASSERT_TRUE(PropertyList::writeFileAtomically(link, 2));
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(PropertyList::readFile(target), Value(2));
    EXPECT_EQ(fs::status(target).permissions(), fs::perms(0600));
    EXPECT_EQ(std::distance(fs::directory_iterator(directory), {}), 1);
    EXPECT_FALSE(PropertyList::writeFileAtomically(directory, 3));  // a directory is in the way

    fs::permissions(directory, fs::perms(0555));
    if (std::ofstream(directory + "/probe")) {
        fs::permissions(directory, fs::perms(0755));
        GTEST_SKIP() << "running with privileges that ignore permissions";
    }
    std::string error;
    EXPECT_FALSE(PropertyList::writeFileAtomically(target, 4, &error));
    EXPECT_NE(error.find("Permission denied"), std::string::npos) << error;
    fs::permissions(directory, fs::perms(0755));
    EXPECT_EQ(PropertyList::readFile(target), Value(2));
    EXPECT_EQ(std::distance(fs::directory_iterator(directory), {}), 1);
}

}  // namespace
