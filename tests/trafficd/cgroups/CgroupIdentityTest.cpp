// Unit names to identifiers, and cgroup paths to identifiers and owners.
#include "trafficd/cgroups/ApplicationName.h"
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
        // IDs that would leave applications/ or name a hidden file
        {"app-gnome-..\\x2f..\\x2f..\\x2fetc\\x2fpasswd-9.scope", std::nullopt},
        {"app-gnome-..-5.scope", std::nullopt},
        {"app-gnome-.hidden-5.scope", std::nullopt},
        {"app-gnome-a\\x00b-5.scope", std::nullopt},
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
        {"/", "ssh", "system", std::nullopt},
        {"", "ssh", "system", std::nullopt},
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

// System services reach every user, so their names are few, stable over months, and never a
// user's choice: the unit (its template for an instance); a transient unit by its program, else
// by its stem; no unit, "system".
TEST(TrafficdNames, SystemServicesAreNamedByTheirUnit) {
    struct Case {
        const char *path, *comm, *app;
    };
    const Case cases[] = {
        {"/system.slice/packagekit.service", "packagekitd", "packagekit"},
        {"/system.slice/apt-daily-upgrade.service", "http", "apt-daily-upgrade"},
        {"/system.slice/system-getty.slice/getty@tty1.service", "agetty", "getty"},
        {"/system.slice/system-openvpn.slice/openvpn@home.service", "", "openvpn"},
        {"/system.slice/avahi-daemon.socket", "", "avahi-daemon"},
        {"/system.slice/home.mount", "", "home"},
        {"/system.slice/dev-sda2.swap", "", "dev-sda2"},
        {"/system.slice/fwupd\\x2drefresh.service", "", "fwupd-refresh"},
        // A unit's own subgroups (a delegated service): still the unit.
        {"/system.slice/docker.service/containerd", "dockerd", "docker"},
        // Transient units: the program, else the stable stem.
        {"/system.slice/docker-4f2a9c01e7.scope", "curl", "curl"},
        {"/system.slice/docker-4f2a9c01e7.scope", "", "docker"},
        {"/machine.slice/libpod-9ab3c.scope", "", "libpod"},
        {"/machine.slice/libpod-conmon-9ab3c.scope", "", "libpod-conmon"},
        {"/system.slice/session-7.scope", "", "session"},
        {"/init.scope", "", "init"},
        {"/system.slice/run-u123.service", "wget", "wget"},
        {"/system.slice/run-u123.service", "", "run"},
        {"/system.slice/run-r0a9f3c2b1e.service", "", "run"},
        {"/system.slice/run-p4242-i4243.service", "", "run"},
        {"/system.slice/run-update.service", "", "run-update"},  // not systemd-run's
        // No unit: never the program, which a user may have named.
        {"/", "org.bytarn.Evil", "system"},
        {"", "firefox", "system"},
        {"/system.slice", "sshd", "system"},
        {"/system.slice/odd-group", "x", "system"},
        // A name that would leave the title service's folder is made clean.
        {"/system.slice/..\\x2fetc.service", "", "_._etc"},
    };
    for (const auto& c : cases) {
        auto identity = identifyCgroup(c.path, c.comm);
        EXPECT_EQ(identity.app, c.app) << c.path << " " << c.comm;
        EXPECT_EQ(identity.owner, std::nullopt) << c.path;
    }
}

// Every name the helper sends is one the collector stores and the title service can look up:
// whatever bytes a program or a scope is named with, only the bad characters change.
TEST(TrafficdNames, ProgramAndUnitNamesAreMadeClean) {
    const std::string own = "/user.slice/user-1001.slice/user@1001.service/app.slice/";
    struct Case {
        std::string path, comm, app;
    };
    const Case cases[] = {
        {own + "app-gnome-..\\x2f..\\x2fetc\\x2fpasswd-9.scope", "",
         "app-gnome-..\\x2f..\\x2fetc\\x2fpasswd-9"},
        {own + "app-gnome-..-5.scope", "curl", "curl"},
        {own + ".hidden.scope", "", "_hidden"},
        {own + "x.scope", "\x1b[31mevil", "?[31mevil"},
        {own + "x.scope", "../../etc/passwd", "_._.._etc_passwd"},
        {own + "x.scope", "caf\xc3\xa9 \xe2\x82\xac", "caf\xc3\xa9 \xe2\x82\xac"},
        {own + "x.scope", "bad\xff\xc3(\xed\xa0\x80\xf4\x90\x80\x80",
         "bad?"
         "?(" +
             std::string(7, '?')},
        {own + "x.scope", "over\xc0\xafx", "over??x"},
        {own + "app-gnome-" + std::string(100, 'a') + "\\xff-1.scope", "",
         std::string(100, 'a') + "?"},
    };
    for (const auto& c : cases) {
        auto identity = identifyCgroup(c.path, c.comm);
        EXPECT_EQ(identity.app, c.app) << c.comm << " " << c.path;
        EXPECT_TRUE(isCleanApplicationName(identity.app)) << identity.app;
    }
    // 100 bytes that are not UTF-8 once grew to 300 (U+FFFD each); and any length is cut to the
    // collector's limit on a character boundary.
    std::string scope = own + "app-gnome-";
    for (int i = 0; i < 100; ++i) scope += "\\xff";
    EXPECT_EQ(identifyCgroup(scope + "-1.scope", "").app, std::string(100, '?'));
    std::string euros;
    for (int i = 0; i < 100; ++i) euros += "\xe2\x82\xac";
    auto cut = cleanApplicationName("x" + euros);
    EXPECT_EQ(cut, "x" + euros.substr(0, 252));
    EXPECT_TRUE(isCleanApplicationName(cut));
    EXPECT_EQ(cleanApplicationName(""), "unknown");
    for (std::string_view unclean : {"", ".", "a/b", "a\x7f", "\xff", "\xe2\x82"})
        EXPECT_FALSE(isCleanApplicationName(unclean)) << unclean;
    EXPECT_FALSE(isCleanApplicationName(std::string(256, 'a')));
    EXPECT_TRUE(isCleanApplicationName(std::string(255, 'a')));
}
