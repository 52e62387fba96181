// What each user receives of one round: two users, root with apps of its own, system services
// and forwarded traffic; every view adds up to the same total per kind, and holds no other
// user's applications.
#include <gtest/gtest.h>

#include "trafficd/accounting/UserViews.h"

using namespace bytarn::trafficd;

namespace {

std::map<std::string, uint64_t> perKind(const UsageBytes& bytes) {
    std::map<std::string, uint64_t> sums;
    for (const auto& [key, count] : bytes) sums[key.second] += count;
    return sums;
}

}  // namespace

TEST(TrafficdUserViews, EachUserSeesItsOwnAppsTheSystemAndOthersOnlyAsATotal) {
    TrafficAccounting::Round round;
    round.users[1000] = {{{"org.example.Browser", "wifi"}, 500},
                         {{"org.example.Browser", "cellular"}, 40},
                         // A program that would pass for the other users' row.
                         {{TrafficAccounting::otherUsers, "wifi"}, 7}};
    round.users[1001] = {{{"org.example.Secret", "wifi"}, 300},
                         {{TrafficAccounting::sharedConnection, "unknown"}, 9}};
    round.users[0] = {{{"curl", "cellular"}, 11}};
    round.system = {{{"packagekit", "wifi"}, 2000}, {{"docker", "unknown"}, 60}};
    round.forwarded = {{"cellular", 800}, {"wifi", 0}};
    // 1002 has a slice (or a client) but no traffic of its own.
    auto views = userViews(round, {1002});

    ASSERT_EQ(views.size(), 4u);
    const std::map<std::string, uint64_t> machine{
        {"wifi", 500 + 7 + 300 + 2000}, {"cellular", 40 + 11 + 800}, {"unknown", 9 + 60}};
    for (const auto& [uid, view] : views) {
        EXPECT_EQ(perKind(view), machine) << "uid " << uid;
        EXPECT_EQ(view.at({"packagekit", "wifi"}), 2000u) << "uid " << uid;
        EXPECT_EQ(view.at({TrafficAccounting::sharedConnection, "cellular"}), 800u);
        EXPECT_FALSE(view.count({TrafficAccounting::sharedConnection, "wifi"})) << "no zero rows";
    }

    // User 1000: its own apps (the look-alike renamed), the other users as one row per kind.
    const auto& mine = views.at(1000);
    EXPECT_EQ(mine.at({"org.example.Browser", "wifi"}), 500u);
    EXPECT_EQ(mine.at({"_org.bytarn.OtherUsers", "wifi"}), 7u);
    EXPECT_EQ(mine.at({TrafficAccounting::otherUsers, "wifi"}), 300u);
    EXPECT_EQ(mine.at({TrafficAccounting::otherUsers, "cellular"}), 11u);
    EXPECT_EQ(mine.at({TrafficAccounting::otherUsers, "unknown"}), 9u);
    // No other user's names, in any view.
    for (const auto& [uid, view] : views)
        for (const auto& [key, count] : view) {
            const auto& app = key.first;
            const std::pair<uid_t, const char*> ownApps[] = {{1000, "org.example.Browser"},
                                                             {1001, "org.example.Secret"},
                                                             {1001, "_org.bytarn.SharedConnection"},
                                                             {0, "curl"}};
            for (const auto& [owner, name] : ownApps)
                EXPECT_TRUE(uid == owner || app != name) << name << " in the view of " << uid;
        }
    EXPECT_EQ(views.at(1001).at({"_org.bytarn.SharedConnection", "unknown"}), 9u);
    EXPECT_FALSE(views.at(1001).count({TrafficAccounting::sharedConnection, "unknown"}));
    // Root follows the same rule: its own slice's apps, never the others'.
    EXPECT_EQ(views.at(0).at({"curl", "cellular"}), 11u);
    EXPECT_EQ(views.at(0).at({TrafficAccounting::otherUsers, "wifi"}), 807u);
    // A user without traffic of its own sees everyone else as one total.
    EXPECT_EQ(views.at(1002).at({TrafficAccounting::otherUsers, "cellular"}), 51u);

    // A quiet round: no views at all, so the ledger holds nothing new.
    EXPECT_TRUE(userViews(TrafficAccounting::Round{}, {1000, 1001}).empty());
}
