// A bundle's command reached the way `bytarn report` reaches it: the application starts, loads
// the built bundle from disk and runs the command the bundle registered.
#include <sys/wait.h>

#include <cstdio>
#include <sstream>

#include "collector/UsageDatabase.h"
#include "settings/core/BundleCommandSession.h"
#include "support/QuietMainLoopTest.h"
#include "support/TestEnvironment.h"

namespace {

class BundleCommandSession : public QuietMainLoopTest {
  protected:
    int run(const std::string& name, const std::vector<std::string>& arguments,
            const std::string& now) {
        SessionOptions options;
        options.now = now;
        options.timeZone = "Asia/Tokyo";
        options.bundlesDirectory = BYTARN_BUILD_BUNDLES_DIR;
        std::ostringstream outStream, errStream;
        int status = runBundleCommand(options, name, arguments, outStream, errStream);
        out = outStream.str();
        err = errStream.str();
        return status;
    }

    // The program itself: exit status and standard output.
    static int program(const std::string& arguments, std::string& output) {
        std::string command = BYTARN_BINARY_DIR "/bin/bytarn " + arguments + " 2>/dev/null";
        FILE* pipe = popen(command.c_str(), "r");
        if (!pipe) return -1;
        char buffer[4096];
        for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
        int status = pclose(pipe);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    ScratchHome home;
    std::string out, err;
};

// --now and --tz reach the command: "today" is the day of that instant in that zone.
TEST_F(BundleCommandSession, ReportCountsFromTheApplicationsClockAndZone) {
    UsageDatabase(UsageDatabase::defaultPath()).addUsage("org.example.mail", "2026-12-06", 1, 2, 0);
    UsageDatabase(UsageDatabase::defaultPath()).addUsage("org.example.mail", "2026-12-07", 4, 8, 0);
    const std::vector<std::string> csv = {"--period", "today", "--format", "csv"};
    struct Case {
        const char* now;
        const char* row;
    };
    for (const Case& c :
         {Case{"2026-12-06T23:30:00", "1,2,0,3"}, Case{"2026-12-07T00:30:00", "4,8,0,12"}}) {
        SCOPED_TRACE(c.now);
        ASSERT_EQ(run("report", csv, c.now), 0) << err;
        EXPECT_EQ(out, std::string("app,title,wifi,cellular,other,usage\r\norg.example.mail,") +
                           "org.example.mail," + c.row + "\r\n");
    }
}

TEST_F(BundleCommandSession, UnknownCommandSaysSo) {
    EXPECT_EQ(run("no-such-command", {}, "2026-12-06T12:00:00"), 1);
    EXPECT_NE(err.find("no loaded bundle offers the command \"no-such-command\""),
              std::string::npos);
}

// The command line hands everything after `report` to the bundle; help ends with the
// application's own options; bad arguments exit 2 with nothing printed.
TEST_F(BundleCommandSession, ProgramPassesTheReportItsArguments) {
    std::string help, bad;
    ASSERT_EQ(program("report --help", help), 0);
    for (const char* option : {"--period", "--format", "--now", "--tz", "--locale", "--bundles"})
        EXPECT_NE(help.find(std::string("e.g. ") + option), std::string::npos) << option;
    EXPECT_EQ(program("report --tz Europe/Berlin --period fortnight", bad), 2);
    EXPECT_EQ(bad, "");
}

}  // namespace
