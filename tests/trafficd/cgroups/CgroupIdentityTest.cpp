// Unit names to identifiers, and cgroup paths to identifiers and owners.
#include "trafficd/cgroups/CgroupIdentity.h"

#include <gtest/gtest.h>

using namespace bytarn::trafficd;

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

// The owner is the user-<UID>.slice right under user.slice at the counted root; nothing a user
// creates in its delegated subtree (user@UID.service/...) can name another owner.
TEST(TrafficdNames, CgroupPathsGiveIdentifierAndOwner) {
    struct Case {
        const char *path, *comm, *app;
        std::optional<uid_t> owner;
        const char* root = "/";
    };
    const std::string own = "/user.slice/user-1001.slice/user@1001.service/app.slice/";
    const std::string firefox = "app-gnome-org.mozilla.firefox-2.scope";
    const std::string forged[] = {
        own + "user-1002.slice/" + firefox,
        own + "user-0.slice/" + firefox,
        own + "user.slice/user-1002.slice/" + firefox,
        "/user.slice/user-1001.slice/user@1001.service/user.slice/user-0.slice/" + firefox,
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
        // A user's own delegated subtree, with slices that name other users: still its own.
        {forged[0].c_str(), "firefox", "org.mozilla.firefox", 1001},
        {forged[1].c_str(), "firefox", "org.mozilla.firefox", 1001},
        {forged[2].c_str(), "firefox", "org.mozilla.firefox", 1001},
        {forged[3].c_str(), "firefox", "org.mozilla.firefox", 1001},
        // Only the top: a user slice elsewhere, or spelt other than systemd spells it, is no one's.
        {"/system.slice/user-1000.slice/a.scope", "", "a", std::nullopt},
        {"/user-1000.slice/a.scope", "", "a", std::nullopt},
        {"/user.slice/user-01000.slice/a.scope", "", "a", std::nullopt},
        {"/user.slice/user-+7.slice/a.scope", "", "a", std::nullopt},
        {"/user.slice/user-99999999999.slice/a.scope", "", "a", std::nullopt},
        // A counted root below the mount (--cgroup): owners are read below it, never above.
        {"/test/user.slice/user-7.slice/a.scope", "", "a", 7, "/test"},
        {"/test/user.slice/user-7.slice/a.scope", "", "a", 7, "/test/"},
        {"/user.slice/user-7.slice/test/a.scope", "", "system", std::nullopt, "/test"},
        {"/test2/user.slice/user-7.slice/a.scope", "", "system", std::nullopt, "/test"},
    };
    for (const auto& c : cases) {
        auto identity = identifyCgroup(c.path, c.comm, c.root);
        EXPECT_EQ(identity.app, c.app) << c.path;
        EXPECT_EQ(identity.owner, c.owner) << c.path;
    }
}
