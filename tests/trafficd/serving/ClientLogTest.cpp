// The per-uid bound on the lines clients cause, on a clock the test moves.
#include "trafficd/Log.h"
#include "trafficd/serving/ClientLog.h"

#include <gtest/gtest.h>

using namespace bytarn::trafficd;
using namespace std::chrono_literals;

TEST(TrafficdClientLog, AFloodingUidIsHeldToItsShareAndSummedUpWhileOthersStillLog) {
    ClientLog::Clock::time_point now{};
    setLogCapture(true);
    {
        ClientLog log(20, 1, 10s, [&] { return now; });
        for (int i = 0; i < 100000; ++i) log.write(1001, "bad lines", "flood " + std::to_string(i));
        log.write(1001, "connections", "one more");
        log.write(1002, "connections", "client of uid 1002 connected");
        EXPECT_EQ(takeCapturedLog().size(), 21u) << "20 of the flood, and the other uid's line";
        EXPECT_EQ(log.suppressedTotal(), 99981u);

        now += 5s;
        log.flush();
        EXPECT_TRUE(takeCapturedLog().empty()) << "a summary at most every 10 s";
        for (int i = 0; i < 5; ++i) log.write(1001, "bad lines", "again");  // 5 s refilled 5
        EXPECT_EQ(takeCapturedLog().size(), 5u);
        log.write(1001, "bad lines", "over");

        now += 5s;
        log.flush();
        auto summary = takeCapturedLog();
        ASSERT_EQ(summary.size(), 1u);
        EXPECT_EQ(summary[0],
                  "clients of uid 1001 caused 99982 more log lines in 10 s, not written (at most "
                  "20 at once and 1 a second per uid): 99981 bad lines, 1 connections");

        // Quiet uids are forgotten once their share is whole again; a later line logs at once.
        now += 60s;
        log.flush();
        log.write(1001, "bad lines", "after a quiet minute");
        log.write(1003, "disconnections", "held back");
        for (int i = 0; i < 25; ++i) log.write(1003, "disconnections", "held back");
        EXPECT_EQ(takeCapturedLog().size(), 21u);
    }
    // What is still held back is summed up when the log goes.
    auto last = takeCapturedLog();
    setLogCapture(false);
    ASSERT_EQ(last.size(), 1u);
    EXPECT_NE(last[0].find("uid 1003 caused 6 more"), std::string::npos) << last[0];
}
