// Restrictions without the kernel: the lines' grammar, the policy's bounds, who reaches which
// cgroups, and which routes refuse a connect early.
#include "trafficd/counting/traffic.h"
#include "trafficd/networks/Routes.h"
#include "trafficd/restrictions/CellularBlocking.h"
#include "trafficd/restrictions/RestrictionPolicy.h"
#include "trafficd/serving/RestrictionLine.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <linux/rtnetlink.h>

using namespace bytarn::trafficd;

namespace bytarn::trafficd {
void PrintTo(const BlockedSockets& blocked, std::ostream* out) {
    for (const auto& [id, mode] : blocked.cgroups) *out << id << ":" << int(mode) << " ";
    for (const auto& [id, program] : blocked.programs) *out << id << "/" << program << " ";
}
}  // namespace bytarn::trafficd

namespace {

RestrictionLine line(const std::string& text) {
    std::string error;
    auto parsed = parseRestrictionLine(text, &error);
    EXPECT_TRUE(parsed) << text << ": " << error;
    return parsed.value_or(RestrictionLine{RestrictionVerb::clear, {}});
}

}  // namespace

TEST(TrafficdRestrictions, TheGrammarIsStrictAndBounded) {
    struct Case {
        std::string text;
        bool accepted;
        RestrictionVerb verb = RestrictionVerb::clear;
        std::string app = {};
    };
    const Case cases[] = {
        {"clear", true},
        {"pause", true, RestrictionVerb::pause},
        {"resume", true, RestrictionVerb::resume},
        {"restrict org.example.Mail", true, RestrictionVerb::restrict, "org.example.Mail"},
        {"allow org.example.Mail", true, RestrictionVerb::allow, "org.example.Mail"},
        {"exempt Firefox Web", true, RestrictionVerb::exempt, "Firefox Web"},
        {"unexempt x", true, RestrictionVerb::unexempt, "x"},
        {"restrict " + std::string(311, 'a'), true, RestrictionVerb::restrict,
         std::string(311, 'a')},  // 320 bytes
        {"restrict " + std::string(312, 'a'), false},
        {"clear ", false},
        {"pause now", false},
        {"restrict", false},
        {"restrict ", false},
        {"Restrict x", false},
        {"block x", false},
        {"", false},
    };
    for (const auto& c : cases) {
        std::string error;
        auto parsed = parseRestrictionLine(c.text, &error);
        EXPECT_EQ(parsed.has_value(), c.accepted) << c.text;
        EXPECT_EQ(error.empty(), c.accepted) << c.text;
        if (parsed && c.accepted) {
            EXPECT_EQ(parsed->verb, c.verb) << c.text;
            EXPECT_EQ(parsed->app, c.app) << c.text;
        }
    }
}

TEST(TrafficdRestrictions, ThePolicyTakesOnlyApplicationNamesWithinItsBound) {
    RestrictionPolicy policy;
    for (std::string bad : {std::string(".hidden"), std::string("a/b"), std::string("tab\there"),
                            std::string("\xc3\x28"), std::string(256, 'a'), std::string()})
        EXPECT_TRUE(policy.apply(1000, {RestrictionVerb::restrict, bad}, nullptr)) << bad;
    EXPECT_TRUE(policy.apply(1000, line("restrict org.bytarn.OtherUsers"), nullptr));
    EXPECT_TRUE(policy.apply(1000, line("restrict org.bytarn.SharedConnection"), nullptr));
    EXPECT_FALSE(policy.restrictsAnything());
    RestrictionPolicy::Outcome outcome;
    EXPECT_FALSE(policy.apply(1000, line("restrict org.example.Mail"), &outcome));
    EXPECT_TRUE(outcome.changed);
    EXPECT_EQ(outcome.summary, "restricted \"org.example.Mail\"");
    EXPECT_FALSE(policy.apply(1000, line("restrict org.example.Mail"), &outcome));
    EXPECT_FALSE(outcome.changed);
    // Restricted and exempt names together: at most 1024 a uid, one more is refused.
    for (size_t i = 1; i < RestrictionPolicy::maxNamesPerUid; ++i)
        ASSERT_FALSE(policy.apply(1000, line("exempt app" + std::to_string(i)), nullptr));
    EXPECT_TRUE(policy.apply(1000, line("restrict one.too.many"), nullptr));
    EXPECT_FALSE(policy.apply(1001, line("restrict one.too.many"), nullptr));  // its own room
    EXPECT_FALSE(policy.apply(1000, line("clear"), &outcome));
    EXPECT_EQ(outcome.summary, "cleared 1 restricted and 1023 exempt names");
    EXPECT_FALSE(policy.keepsOffCellular(1000, "org.example.Mail"));
}

// Who reaches what: a user's lines reach only its own slice's cgroups, root's also the system
// services; a cgroup named by its programs is blocked per program; a pause keeps off all but
// the exempt.
TEST(TrafficdRestrictions, EachUsersLinesReachOnlyItsOwnCgroups) {
    const std::vector<std::pair<uint64_t, std::string>> cgroups = {
        {10,
         "/user.slice/user-1000.slice/user@1000.service/app.slice/"
         "app-gnome-org.example.Mail-7.scope"},
        {11,
         "/user.slice/user-1001.slice/user@1001.service/app.slice/"
         "app-gnome-org.example.Mail-9.scope"},
        {12, "/user.slice/user-1000.slice/session-3.scope"},  // named by its programs
        {13, "/system.slice/packagekit.service"},
        {14,
         "/user.slice/user-1000.slice/user@1000.service/app.slice/"
         "app-gnome-org.example.Maps-8.scope"},
        // A user's own cgroup named like a system service.
        {15, "/user.slice/user-1001.slice/user@1001.service/packagekit.service"},
    };
    const std::vector<std::pair<uint16_t, std::string>> programs = {{5, "curl"}, {6, "wget"}};
    auto blocked = [&](const std::vector<std::pair<uid_t, std::string>>& lines) {
        RestrictionPolicy policy;
        for (const auto& [uid, text] : lines) EXPECT_FALSE(policy.apply(uid, line(text), nullptr));
        return blockedSockets(policy, cgroups, programs, "/");
    };
    using Blocked = BlockedSockets;
    EXPECT_EQ(blocked({}), Blocked{});
    EXPECT_EQ(blocked({{1000, "restrict org.example.Mail"}}),
              (Blocked{{{10, BYTARN_BLOCK_ALL}}, {}}));
    EXPECT_EQ(blocked({{1001, "restrict org.example.Mail"}}),
              (Blocked{{{11, BYTARN_BLOCK_ALL}}, {}}));
    // The user's own unit of that name (by its programs; sockets of no known program by the
    // unit) and never the system service.
    EXPECT_EQ(blocked({{1001, "restrict packagekit"}}),
              (Blocked{{{15, BYTARN_BLOCK_LISTED}}, {{15, 0}}}));
    EXPECT_EQ(blocked({{0, "restrict packagekit"}}), (Blocked{{{13, BYTARN_BLOCK_ALL}}, {}}));
    EXPECT_EQ(blocked({{1000, "restrict curl"}}),
              (Blocked{{{12, BYTARN_BLOCK_LISTED}}, {{12, 5}}}));
    // Unknown programs of a session go by its unit's stem.
    EXPECT_EQ(blocked({{1000, "restrict session-3"}}),
              (Blocked{{{12, BYTARN_BLOCK_LISTED}}, {{12, 0}}}));
    EXPECT_EQ(blocked({{1000, "exempt org.example.Maps"}, {1000, "exempt wget"}, {1000, "pause"}}),
              (Blocked{{{10, BYTARN_BLOCK_ALL}, {12, BYTARN_BLOCK_UNLISTED}}, {{12, 6}}}));
    // An exempt name that is restricted stays restricted.
    EXPECT_EQ(blocked({{1000, "exempt org.example.Mail"},
                       {1000, "restrict org.example.Mail"},
                       {1000, "pause"},
                       {1000, "exempt org.example.Maps"}}),
              (Blocked{{{10, BYTARN_BLOCK_ALL}, {12, BYTARN_BLOCK_UNLISTED}}, {}}));
    // Root's pause: its own slice (none here) and every system service.
    EXPECT_EQ(blocked({{0, "pause"}}), (Blocked{{{13, BYTARN_BLOCK_ALL}}, {}}));

    // The helper's cache of names: a path read once, read again when an id gets a new one.
    RestrictionPolicy policy;
    policy.apply(1000, line("restrict org.example.Mail"), nullptr);
    CgroupNamesCache cache;
    EXPECT_EQ(blockedSockets(policy, cgroups, programs, "/", &cache),
              (Blocked{{{10, BYTARN_BLOCK_ALL}}, {}}));
    auto moved = cgroups;
    moved[0].second = "/user.slice/user-1000.slice/session-4.scope";  // id 10 gone, then reused
    EXPECT_EQ(blockedSockets(policy, moved, programs, "/", &cache), Blocked{});
    EXPECT_EQ(cache.size(), cgroups.size());
}

TEST(TrafficdRestrictions, OnlyRoutesWhollyOverCellularRefuseEarly) {
    auto route = [](const char* prefix, uint8_t length, std::vector<unsigned> interfaces,
                    uint32_t metric = 0, uint32_t table = RT_TABLE_MAIN,
                    uint8_t type = RTN_UNICAST) {
        Route made;
        made.family = AF_INET;
        inet_pton(AF_INET, prefix, made.prefix.data());
        made.length = length;
        made.interfaces = std::move(interfaces);
        made.metric = metric;
        made.table = table;
        made.type = type;
        return made;
    };
    RoutingTables tables;
    tables.read = true;
    tables.routes = {route("0.0.0.0", 0, {3}, 600),  // Wi-Fi, the worse default
                     route("0.0.0.0", 0, {4}, 100),  // cellular, the better
                     route("10.1.0.0", 16, {3}),     // Wi-Fi
                     route("10.2.0.0", 16, {4, 3}),  // both: not refused early
                     route("10.4.0.0", 16, {4}),     // cellular
                     route("10.4.0.1", 32, {4}, 0, RT_TABLE_LOCAL, RTN_LOCAL)};  // this machine
    auto entries = cellularRoutes(tables, {4});
    auto at = [&](const char* prefix, uint8_t length) {
        RouteEntry entry{AF_INET, std::vector<uint8_t>(4), length};
        inet_pton(AF_INET, prefix, entry.prefix.data());
        auto found = entries.find(entry);
        return found == entries.end() ? -1 : int(found->second);
    };
    EXPECT_EQ(at("0.0.0.0", 0), 1);
    EXPECT_EQ(at("10.1.0.0", 16), 0);
    EXPECT_EQ(at("10.2.0.0", 16), 0);
    EXPECT_EQ(at("10.4.0.0", 16), 1);
    EXPECT_EQ(at("10.4.0.1", 32), 0);
    EXPECT_EQ(entries.size(), 5u);
}
