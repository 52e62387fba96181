#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "collector/UsageDatabase.h"
#include "host/foundation/RunLoop.h"
#include "host/foundation/SystemLog.h"
#include "settings/core/SessionCollector.h"
#include "settings/script/ScriptSession.h"
#include "support/QuietMainLoopTest.h"
#include "support/TestEnvironment.h"

namespace {

using Json = nlohmann::ordered_json;

class CollectorSession : public QuietMainLoopTest {
  protected:
    struct Result {
        int status = -1;
        std::vector<Json> lines;
        std::string errors;
    };

    Result run(const std::string& script, CollectorMode mode = CollectorMode::Embedded) {
        SessionOptions options;
        options.now = "2026-12-06T12:00:00";
        options.bundlesDirectory = BYTARN_BUILD_BUNDLES_DIR;
        options.collector = mode;
        std::istringstream in(script);
        std::ostringstream out, err;
        Result result;
        result.status = runScriptSession(options, in, out, err);
        std::istringstream printed(out.str());
        for (std::string line; std::getline(printed, line);)
            result.lines.push_back(Json::parse(line));
        result.errors = err.str();
        return result;
    }

    static std::vector<std::string> applicationIds(const Json& page) {
        std::vector<std::string> ids;
        for (const auto& row : page["rows"])
            if (row["cellClass"] == "BytarnEntryCell") ids.push_back(row["id"]);
        return ids;
    }

    static Json rowNamed(const Json& page, const std::string& name) {
        for (const auto& row : page["rows"])
            if (row["name"] == name) return row;
        return nullptr;
    }

    ScratchHome home;
};

const char* const kTwoApps =
    "sql INSERT INTO usage VALUES ('a.app', '2026-12-06', 500, 0, 0)\n"
    "sql INSERT INTO usage VALUES ('b.app', '2026-12-06', 300, 0, 0)\n";

TEST_F(CollectorSession, MessagesShowWhatTheCollectorReceivedSinceTheLastAsk) {
    auto result =
        run("messages\nopen\nmessages\nadvance 15\nmessages\nadvance 14\nmessages\n"
            "advance 1\nadvance 29\nmessages\nmessages\n");
    ASSERT_EQ(result.status, 0) << result.errors;
    std::vector<std::string> expected{
        R"({"messages":[]})",
        R"({"messages":[{"name":"save","userInfo":null}]})",  // when the page opens
        R"({"messages":[{"name":"save","userInfo":null}]})",  // 15 s later
        R"({"messages":[]})",                                 // 29 s: not yet
        R"({"messages":[{"name":"save","userInfo":null},{"name":"save","userInfo":null}]})",
        R"({"messages":[]})",
    };
    ASSERT_EQ(result.lines.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(result.lines[i].dump(), expected[i]);
}

TEST_F(CollectorSession, DeleteReachesTheCollectorAndTheReloadFollowsWithinTheCommand) {
    auto result = run(std::string(kTwoApps) +
                      "open\ndump\nmessages\ndelete a.app\nmessages\ndump\n"
                      "sql SELECT 1\n");
    ASSERT_EQ(result.status, 0) << result.errors;
    ASSERT_EQ(result.lines.size(), 4u);
    EXPECT_EQ(applicationIds(result.lines[0]), (std::vector<std::string>{"a.app", "b.app"}));
    EXPECT_EQ(rowNamed(result.lines[0], "Wi-Fi")["value"], "800.00B");
    EXPECT_EQ(
        result.lines[2].dump(),
        R"({"messages":[{"name":"deleteApplication","userInfo":{"bundleIdentifier":"a.app"}}]})");
    // The collector deleted the rows and its notification rebuilt the page: totals included.
    EXPECT_EQ(applicationIds(result.lines[3]), std::vector<std::string>{"b.app"});
    EXPECT_EQ(rowNamed(result.lines[3], "Wi-Fi")["value"], "300.00B");

    // The rows are gone from the database, so a new session does not show them either.
    auto again = run("open\ndump\n");
    ASSERT_EQ(again.lines.size(), 1u);
    EXPECT_EQ(applicationIds(again.lines[0]), std::vector<std::string>{"b.app"});
}

TEST_F(CollectorSession, NotifyReloadsThePageWithinTheCommand) {
    auto result =
        run("open\nsql INSERT INTO usage VALUES ('c.app', '2026-12-06', 2048, 0, 0)\n"
            "dump\nnotify\ndump\n");
    ASSERT_EQ(result.status, 0) << result.errors;
    ASSERT_EQ(result.lines.size(), 2u);
    EXPECT_TRUE(applicationIds(result.lines[0]).empty()) << "no reload without a reason";
    EXPECT_EQ(applicationIds(result.lines[1]), std::vector<std::string>{"c.app"});
    EXPECT_EQ(rowNamed(result.lines[1], "Wi-Fi")["value"], "2.00KB");
}

TEST_F(CollectorSession, WithoutACollectorMessagesFailAndThePageWorksFromTheDatabase) {
    auto result = run(std::string(kTwoApps) + "open\nmessages\ndelete a.app\ndump\nnotify\ndump\n",
                      CollectorMode::None);
    EXPECT_EQ(result.status, 1);
    ASSERT_EQ(result.lines.size(), 3u);
    EXPECT_NE(result.lines[0]["error"].get<std::string>().find("needs the embedded collector"),
              std::string::npos)
        << result.lines[0];
    // The row goes at once; nobody deletes the records, so the next build brings it back.
    EXPECT_EQ(applicationIds(result.lines[1]), std::vector<std::string>{"b.app"});
    EXPECT_EQ(applicationIds(result.lines[2]), (std::vector<std::string>{"a.app", "b.app"}));
}

TEST_F(CollectorSession, ModeIsChosenFromTheOptionsAndTheSessionBus) {
    SessionOptions options;
    options.collector = CollectorMode::Embedded;
    options.noCollector = true;
    EXPECT_EQ(requestedCollectorMode(options), CollectorMode::None);

    // Without a usable session bus the automatic choice is the embedded collector; asking for
    // the bus then fails with the reason.
    struct {
        std::optional<std::string> address;
        CollectorMode asked;
        std::optional<CollectorMode> started;
    } cases[] = {
        {std::nullopt, CollectorMode::Automatic, CollectorMode::Embedded},
        {"", CollectorMode::Automatic, CollectorMode::Embedded},
        {"unix:path=/nonexistent/bus", CollectorMode::Automatic, CollectorMode::Embedded},
        {"unix:path=/nonexistent/bus", CollectorMode::Embedded, CollectorMode::Embedded},
        {"unix:path=/nonexistent/bus", CollectorMode::None, CollectorMode::None},
        {"unix:path=/nonexistent/bus", CollectorMode::Bus, std::nullopt},
    };
    const char* before = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    std::optional<std::string> saved = before ? std::optional<std::string>(before) : std::nullopt;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.address.value_or("(unset)") + " " + collectorModeName(c.asked));
        if (c.address)
            setenv("DBUS_SESSION_BUS_ADDRESS", c.address->c_str(), 1);
        else
            unsetenv("DBUS_SESSION_BUS_ADDRESS");
        std::string error;
        auto session = SessionCollector::start(c.asked, &error);
        ASSERT_EQ(session != nullptr, c.started.has_value()) << error;
        if (!session) {
            EXPECT_NE(error.find("--collector bus: cannot connect"), std::string::npos) << error;
            continue;
        }
        EXPECT_EQ(session->mode(), *c.started);
        EXPECT_EQ(session->embeddedCollector() != nullptr, *c.started == CollectorMode::Embedded);
    }
    if (saved)
        setenv("DBUS_SESSION_BUS_ADDRESS", saved->c_str(), 1);
    else
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
}

}  // namespace
