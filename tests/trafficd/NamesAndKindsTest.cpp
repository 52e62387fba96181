// Unit names to identifiers and owners, the interface rules file, and sysfs classification.
#include "CgroupIdentity.h"
#include "InterfaceKinds.h"
#include "Log.h"

#include <gtest/gtest.h>

#include <unistd.h>
#include <filesystem>
#include <fstream>

using namespace bytarn::trafficd;
namespace fs = std::filesystem;

TEST(TrafficdNames, UnitNamesGiveDesktopFileIds) {
    struct Case {
        const char* unit;
        std::optional<std::string> id;
    };
    const Case cases[] = {
        {"app-gnome-org.gnome.Epiphany-12345.scope", "org.gnome.Epiphany"},
        {"app-org.gnome.Epiphany-12345.scope", "org.gnome.Epiphany"},
        {"app-gnome-org.gnome.Epiphany@a1b2.service", "org.gnome.Epiphany"},
        {"app-org.gnome.Epiphany@a1b2.service", "org.gnome.Epiphany"},
        {"app-flatpak-org.mozilla.firefox-4242.scope", "org.mozilla.firefox"},
        {"app-kde-org.kde.dolphin.desktop-77.scope", "org.kde.dolphin"},
        {"app-gnome-my\\x2dapp-9.scope", "my-app"},
        {"app-gnome-caf\\xc3\\xa9-9.scope", "caf\xc3\xa9"},
        // junk: not application units, or malformed ones
        {"app-gnome-a-b-c-1.scope", std::nullopt},
        {"app--1.scope", std::nullopt},
        {"app-x.scope", std::nullopt},
        {"app-gnome-bad\\x2-1.scope", std::nullopt},
        {"app-gnome-bad\\xzz-1.scope", std::nullopt},
        {"app-gnome-ctl\\x0a-1.scope", std::nullopt},
        {"app-gnome-.desktop-1.scope", std::nullopt},
        {"app-org.example@.service", std::nullopt},
        {"app-org.example.service", std::nullopt},
        {"app-a@b@c.service", std::nullopt},
        {"session-3.scope", std::nullopt},
        {"app.slice", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(applicationIdFromUnit(c.unit), c.id) << c.unit;
}

TEST(TrafficdNames, CgroupPathsGiveIdentifierAndOwner) {
    struct Case {
        const char *path, *comm, *app;
        std::optional<uid_t> owner;
    };
    const Case cases[] = {
        {"/user.slice/user-1000.slice/user@1000.service/app.slice/"
         "app-gnome-org.example.Browser-42.scope",
         "browser", "org.example.Browser", 1000},
        {"/user.slice/user-0.slice/session-2.scope", "curl", "curl", 0},
        {"/user.slice/user-1000.slice/session-2.scope", "", "session-2", 1000},
        {"/system.slice/sshd.service", "sshd", "sshd", std::nullopt},
        {"/system.slice/systemd-resolved.service", "", "systemd-resolved", std::nullopt},
        {"/user.slice/user-x1.slice/a.scope", "", "a", std::nullopt},
        {"/", "", "system", std::nullopt},
        {"", "ssh", "ssh", std::nullopt},
    };
    for (const auto& c : cases) {
        auto identity = identifyCgroup(c.path, c.comm);
        EXPECT_EQ(identity.app, c.app) << c.path;
        EXPECT_EQ(identity.owner, c.owner) << c.path;
    }
}

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
    EXPECT_EQ(classifyInterface("lo", {{"*", InterfaceKind::wifi}}, noSysfs),
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
