#include "host/netpolicy/RestrictionStore.h"

#include <gtest/gtest.h>

#include "host/foundation/PreferenceStore.h"
#include "support/TestEnvironment.h"

namespace {

// The name rule the traffic helper applies to its restriction lines (docs/TRAFFIC.md): the
// helper's own tests hold its side to the same cases.
TEST(RestrictionStore, TakesOnlyNamesTheHelperTakes) {
    struct Case {
        std::string name;
        const char* problem;  // nullptr: taken
    };
    const Case cases[] = {
        {"org.example.Video", nullptr},
        {"firefox-esr", nullptr},
        {"_org.bytarn.OtherUsers", nullptr},  // a user's program renamed by the helper
        {"Ünïcødé ✓", nullptr},
        {std::string(255, 'x'), nullptr},
        {"", "cannot be empty"},
        {std::string(256, 'x'), "at most 255 bytes, not 256"},
        {"bad\xff", "valid UTF-8"},
        {"tab\tname", "control character"},
        {"del\x7f", "control character"},
        {"../etc/passwd", "holds a '/'"},
        {".hidden", "starts with '.'"},
        {"org.bytarn.OtherUsers", "cannot be kept off mobile data"},
        {"org.bytarn.SharedConnection", "cannot be kept off mobile data"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name.substr(0, 40));
        auto problem = RestrictionStore::nameProblem(c.name);
        if (!c.problem) {
            EXPECT_EQ(problem, std::nullopt);
            continue;
        }
        ASSERT_TRUE(problem);
        EXPECT_NE(problem->find(c.problem), std::string::npos) << *problem;
        EXPECT_EQ(problem->find_first_of("\t\x7f"), std::string::npos) << "no raw bytes";
    }
}

// Choices stored in their own domain, followed by a watcher; bad names refused without a
// change; damaged entries left out with their reasons; the helper's bound kept.
TEST(RestrictionStore, StoresFollowsAndBoundsTheChoices) {
    ScratchHome home;
    RestrictionStore::Watcher watcher;
    EXPECT_EQ(RestrictionStore::read(), RestrictionStore::Restrictions{});
    std::string error;
    ASSERT_TRUE(RestrictionStore::setMobileData("org.example.Video", false, &error)) << error;
    ASSERT_TRUE(RestrictionStore::setAlwaysAllowed("org.example.Maps", true, &error)) << error;
    ASSERT_TRUE(RestrictionStore::setMobileData("org.example.Maps", true, &error)) << error;
    EXPECT_TRUE(watcher.changed());
    EXPECT_FALSE(watcher.changed());
    EXPECT_EQ(RestrictionStore::read(),
              (RestrictionStore::Restrictions{{"org.example.Video"}, {"org.example.Maps"}}));
    EXPECT_FALSE(RestrictionStore::setMobileData("org.bytarn.SharedConnection", false, &error));
    EXPECT_FALSE(watcher.changed()) << "a refused name changes nothing";

    ASSERT_TRUE(PreferenceStore::setValueForKey(
        RestrictionStore::kDomain, RestrictionStore::kRestrictedKey,
        Value::Array{Value("org.example.Video"), Value("a/b"), Value(3)}));
    std::vector<std::string> problems;
    EXPECT_EQ(RestrictionStore::read(&problems).restricted,
              std::set<std::string>{"org.example.Video"});
    EXPECT_EQ(problems.size(), 2u);

    // Up to the helper's bound, restricted and always allowed together (written in one go).
    Value::Array names;
    for (std::size_t i = 1; i < RestrictionStore::kMaxNames; ++i)
        names.emplace_back("app" + std::to_string(i));
    ASSERT_TRUE(PreferenceStore::setValueForKey(RestrictionStore::kDomain,
                                                RestrictionStore::kRestrictedKey, names));
    EXPECT_FALSE(RestrictionStore::setAlwaysAllowed("one.too.many", true, &error));
    EXPECT_NE(error.find("already 1024"), std::string::npos) << error;
    EXPECT_TRUE(RestrictionStore::setMobileData("app1", false, &error)) << "already so";
    EXPECT_TRUE(RestrictionStore::setMobileData("app1", true, &error));
    EXPECT_TRUE(RestrictionStore::setAlwaysAllowed("one.too.many", true, &error)) << error;
}

}  // namespace
