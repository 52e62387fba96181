// The interface rules file and sysfs classification.
#include "trafficd/Log.h"
#include "trafficd/networks/InterfaceKinds.h"

#include <gtest/gtest.h>

#include <unistd.h>
#include <filesystem>
#include <fstream>
#include <map>

using namespace bytarn::trafficd;
namespace fs = std::filesystem;

TEST(TrafficdKinds, RulesFileFirstMatchWinsAndMalformedLinesAreLoggedAndSkipped) {
    setLogCapture(true);
    auto rules = parseInterfaceRules(
        "# phones and dongles\n"
        "wwan* cellular\n"
        "\n"
        "usb0 wifi extra\n"
        "wl* wifi   # laptops\n"
        "wlx* unknown\n"
        "veth*\n"
        "docker* ignore\n"
        "en* ethernet\n",
        "/etc/bytarn/interfaces");
    auto log = takeCapturedLog();
    setLogCapture(false);
    ASSERT_EQ(rules.size(), 4u);
    ASSERT_EQ(log.size(), 3u);
    EXPECT_TRUE(log[0].starts_with("/etc/bytarn/interfaces:4: ")) << log[0];
    EXPECT_TRUE(log[1].starts_with("/etc/bytarn/interfaces:7: ")) << log[1];
    EXPECT_TRUE(log[2].starts_with("/etc/bytarn/interfaces:9: ")) << log[2];
    const fs::path noSysfs = "/nonexistent";
    EXPECT_EQ(classifyInterface("wwan0", rules, noSysfs), InterfaceKind::cellular);
    EXPECT_EQ(classifyInterface("wlx001122", rules, noSysfs), InterfaceKind::wifi);  // first match
    EXPECT_EQ(classifyInterface("docker0", rules, noSysfs), InterfaceKind::ignore);
    EXPECT_EQ(classifyInterface("usb0", rules, noSysfs), InterfaceKind::unknown);
    EXPECT_EQ(classifyInterface("lo", {{"*", InterfaceKind::wifi, "line 1 of a test"}}, noSysfs),
              InterfaceKind::ignore);
}

// The example shipped for /etc/bytarn/interfaces changes nothing as it is, and every rule it
// shows is one the helper reads once its "#" is taken away.
TEST(TrafficdKinds, TheExampleRulesFileIsInertAndItsRulesParse) {
    std::ifstream file(BYTARN_SOURCE_DIR "/docs/examples/interfaces");
    ASSERT_TRUE(file) << "docs/examples/interfaces";
    std::string shipped, uncommented, line;
    size_t shownRules = 0;
    while (std::getline(file, line)) {
        shipped += line + "\n";
        bool shownRule = line.size() > 1 && line[0] == '#' && line[1] != ' ' && line[1] != '#';
        if (shownRule) ++shownRules;
        uncommented += (shownRule ? line.substr(1) : line) + "\n";
    }
    setLogCapture(true);
    EXPECT_TRUE(parseInterfaceRules(shipped, "interfaces").empty());
    auto rules = parseInterfaceRules(uncommented, "interfaces");
    auto log = takeCapturedLog();
    setLogCapture(false);
    EXPECT_GE(shownRules, 3u);
    EXPECT_EQ(rules.size(), shownRules);
    EXPECT_TRUE(log.empty()) << log.front();
}

TEST(TrafficdKinds, SysfsTreeClassifiesAndLaterNamesAreClassifiedWhenSeen) {
    fs::path root = fs::temp_directory_path() / ("trafficd-sysfs-" + std::to_string(getpid()));
    struct Device {
        const char *name, *file, *content;
        InterfaceKind kind;
    };
    const Device devices[] = {
        {"wlp2s0", "wireless/.keep", "", InterfaceKind::wifi},
        {"phy0dev", "phy80211/.keep", "", InterfaceKind::wifi},
        {"wl0", "uevent", "INTERFACE=wl0\nDEVTYPE=wlan\n", InterfaceKind::wifi},
        {"wwan0", "uevent", "DEVTYPE=wwan\n", InterfaceKind::cellular},
        {"ppp0", "type", "512\n", InterfaceKind::cellular},
        {"rmnet0", "type", "519\n", InterfaceKind::cellular},
        {"lback", "type", "772\n", InterfaceKind::ignore},
        {"eth0", "type", "1\n", InterfaceKind::unknown},
        {"gone0", nullptr, nullptr, InterfaceKind::unknown},
    };
    for (const auto& device : devices) {
        if (!device.file) continue;
        fs::create_directories((root / device.name / device.file).parent_path());
        std::ofstream(root / device.name / device.file) << device.content;
    }
    for (const auto& device : devices)
        EXPECT_EQ(classifyInterface(device.name, {}, root), device.kind) << device.name;

    // Interface 7 is renamed (as udev does) and 9 vanishes: the new name is classified, the
    // vanished one keeps its last kind, one never seen has none.
    std::map<unsigned, std::string> names{{7, "eth0"}, {9, "wwan0"}};
    InterfaceKinds kinds({}, root, [&](unsigned ifindex) -> std::optional<std::string> {
        auto found = names.find(ifindex);
        return found == names.end() ? std::nullopt : std::optional(found->second);
    });
    EXPECT_EQ(kinds.kindOf(7), InterfaceKind::unknown);
    EXPECT_EQ(kinds.kindOf(9), InterfaceKind::cellular);
    names[7] = "wlp2s0";
    names.erase(9);
    EXPECT_EQ(kinds.kindOf(7), InterfaceKind::wifi);
    EXPECT_EQ(kinds.kindOf(9), InterfaceKind::cellular);
    EXPECT_EQ(kinds.kindOf(11), std::nullopt);
    fs::remove_all(root);
}
