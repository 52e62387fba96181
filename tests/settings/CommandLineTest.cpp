// The command lines of the programs as a user meets them: exit status, what goes to standard
// output and what to standard error. The programs run as built, in a scratch home, without a
// session bus.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "collector/UsageDatabase.h"
#include "support/TestEnvironment.h"

namespace {

struct Outcome {
    int status = -1;
    std::string out, err;
};

class CommandLine : public ::testing::Test {
  protected:
    // Runs `program arguments` from the build's bin directory, with standard input empty.
    Outcome run(const std::string& program, const std::string& arguments) const {
        std::string out = home.file("stdout"), err = home.file("stderr");
        std::string command = "env -u DBUS_SESSION_BUS_ADDRESS XDG_RUNTIME_DIR=" + home.path() +
                              " " BYTARN_BINARY_DIR "/bin/" + program + " " + arguments + " >" +
                              out + " 2>" + err + " </dev/null";
        int status = std::system(command.c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readFile(out), readFile(err)};
    }

    static bool built(const std::string& program) {
        return std::filesystem::exists(BYTARN_BINARY_DIR "/bin/" + program);
    }

    ScratchHome home;
};

struct Case {
    const char* program;
    std::string arguments;
    int status;
    // Standard error starts with `errStart` and holds `errHas`; standard output holds `outHas`.
    const char* errStart;
    const char* errHas;
    const char* outHas;
};

// Usage errors end with 2 and "PROGRAM: message"; --help and --version print to standard output
// and end with 0; failures to run end with 1 and say why, and how to do better.
TEST_F(CommandLine, EveryProgramAnswersInItsOwnName) {
    std::string directory = home.file("a-directory/");
    std::filesystem::create_directories(directory);
    const std::vector<Case> cases = {
        {"bytarn", "frobnicate", 2, "bytarn: The following argument was not expected: frobnicate",
         "Run \"bytarn --help\"", ""},
        {"bytarn", "view --frobnicate", 2, "bytarn: ", "Run \"bytarn view --help\"", ""},
        {"bytarn", "report --tz Mars/Base", 2, "bytarn: --tz: unknown time zone \"Mars/Base\"",
         "Olson name", ""},
        {"bytarn", "report --locale xx_YY", 2, "bytarn: --locale: unknown locale \"xx_YY\"",
         "expected a name such as", ""},
        {"bytarn", "report --now yesterday", 2, "bytarn: --now: \"yesterday\"",
         "YYYY-MM-DDTHH:MM:SS", ""},
        {"bytarn", "report --period fortnight", 2, "bytarn: --period", "bytarn report --help", ""},
        {"bytarn", "view --now 2026-02-30T00:00:00", 2, "bytarn: --now", "not a valid date", ""},
        {"bytarn", "script --tz Mars/Base", 2, "bytarn: --tz", "", ""},
        {"bytarn", "ui --locale xx_YY", 2, "bytarn: --locale", "", ""},
        {"bytarn", "gui --now yesterday", 2, "bytarn: --now", "", ""},
        {"bytarn", "--tz Mars/Base view", 2, "bytarn: --tz", "", ""},
        {"bytarn", "--collector none report", 2, "bytarn: --collector does not apply to report", "",
         ""},
        {"bytarn", "--synthetic-traffic report", 2, "bytarn: --synthetic-traffic", "", ""},
        {"bytarn", "--collector none plan", 2, "bytarn: --collector does not apply to plan", "",
         ""},
        {"bytarn", "plan set mobile --cycle-day 3", 2, "bytarn: \"mobile\" is not a network kind",
         "Run \"bytarn plan set --help\"", ""},
        {"bytarn", "plan --help", 0, "", "", "--tz"},
        {"bytarn", "--version", 0, "", "", "bytarn "},
        {"bytarn", "--help", 0, "", "", "Options given before a subcommand apply to it"},
        {"bytarn", "report --help", 0, "", "", "--database"},
        {"bytarn", "view", 1, "bytarn: no usage database yet at ", "bytarn-collector seed", ""},
        {"bytarn", "report --database " + directory, 1, "bytarn: ", "is a directory", ""},
        {"bytarn", "report --database " BYTARN_SOURCE_DIR "/README.md", 1,
         "bytarn: ", "not an SQLite database", ""},
        {"bytarn-collector", "frobnicate", 2, "bytarn-collector: ", "not expected: frobnicate", ""},
        {"bytarn-collector", "", 2, "bytarn-collector: a subcommand is required: seed or run", "",
         ""},
        {"bytarn-collector", "seed --days 0", 2, "bytarn-collector: --days", "", ""},
        {"bytarn-collector", "seed --database " + directory, 1,
         "bytarn-collector: ", "is a directory", ""},
        {"bytarn-collector", "--version", 0, "", "", "bytarn-collector "},
        {"bytarn-collector", "run", 1, "bytarn-collector: there is no D-Bus session bus",
         "dbus-run-session -- bytarn-collector run", ""},
        {"bytarn-trafficd", "--frobnicate", 2, "bytarn-trafficd: ", "--frobnicate", ""},
        {"bytarn-trafficd", "--interval 0", 2, "bytarn-trafficd: --interval", "", ""},
        {"bytarn-trafficd", "--version", 0, "", "", "bytarn-trafficd "},
    };
    for (const Case& c : cases) {
        if (!built(c.program)) continue;  // the traffic helper needs libbpf, bpftool and clang
        SCOPED_TRACE(std::string(c.program) + " " + c.arguments);
        Outcome outcome = run(c.program, c.arguments);
        EXPECT_EQ(outcome.status, c.status) << outcome.err;
        EXPECT_EQ(outcome.err.rfind(c.errStart, 0), 0u) << outcome.err;
        EXPECT_NE(outcome.err.find(c.errHas), std::string::npos) << outcome.err;
        EXPECT_NE(outcome.out.find(c.outHas), std::string::npos) << outcome.out;
        // Answers go to standard output, complaints to standard error, never both.
        EXPECT_EQ(c.status == 0 ? outcome.err : outcome.out, "");
        if (c.arguments == "--version") {
            EXPECT_EQ(outcome.out, std::string(c.program) + " " BYTARN_VERSION "\n");
        }
    }
    EXPECT_FALSE(std::filesystem::exists(UsageDatabase::defaultPath()));  // nothing made one
}

// Options given before a subcommand apply to it, and its own win.
TEST_F(CommandLine, OptionsBeforeASubcommandApplyToIt) {
    UsageDatabase database(UsageDatabase::defaultPath());
    database.addUsage("org.example.mail", "2026-12-06", 1, 2, 0);
    database.addUsage("org.example.mail", "2026-12-07", 4, 8, 0);
    const std::string csv = " report --period today --format csv";
    struct {
        std::string arguments;
        const char* row;
    } cases[] = {
        {"--tz Asia/Tokyo --now 2026-12-06T12:00:00" + csv, "1,2,0,3"},
        {"--now 2026-12-06T12:00:00" + csv + " --now 2026-12-07T12:00:00", "4,8,0,12"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments);
        Outcome outcome = run("bytarn", c.arguments);
        EXPECT_EQ(outcome.status, 0) << outcome.err;
        EXPECT_EQ(outcome.out, std::string("app,title,wifi,cellular,other,usage\r\n") +
                                   "org.example.mail,org.example.mail," + c.row + "\r\n");
    }
    // plan's own words come first; the clock and zone after them, or before plan, still apply.
    Outcome set = run("bytarn", "plan set cellular --cycle-day 6 --now 2026-12-06T12:00:00");
    EXPECT_EQ(set.status, 0) << set.err;
    for (auto [now, from] : {std::pair{"2026-12-06T00:30:00", "2026-12-06"},
                             std::pair{"2026-12-05T23:30:00", "2026-11-06"}}) {
        Outcome plan =
            run("bytarn", std::string("--tz Asia/Tokyo plan --format json --now ") + now);
        EXPECT_EQ(plan.status, 0) << plan.err;
        EXPECT_NE(plan.out.find(std::string("\"from\": \"") + from + "\""), std::string::npos)
            << plan.out;
    }
    // The page's period is today: the usage of the day --now names, given before `view`.
    Outcome view = run("bytarn", "--now 2026-12-07T12:00:00 --collector none view");
    EXPECT_EQ(view.status, 0) << view.err;
    EXPECT_NE(view.out.find("org.example.mail"), std::string::npos) << view.out;
    EXPECT_NE(view.out.find("12.00B"), std::string::npos) << view.out;
}

}  // namespace
