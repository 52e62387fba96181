#pragma once

#include <gtest/gtest.h>

#include "host/foundation/RunLoop.h"
#include "host/foundation/SystemLog.h"

// A test that starts and ends with an empty main run loop, and whose log lines are captured
// without reaching standard error or the system log.
class QuietMainLoopTest : public ::testing::Test {
  protected:
    void SetUp() override {
        RunLoop::main().reset();
        SystemLog::setEchoToStandardError(false);
        SystemLog::setSendToSyslog(false);
        SystemLog::takeCaptured();
    }
    void TearDown() override {
        RunLoop::main().reset();
        SystemLog::setEchoToStandardError(true);
        SystemLog::setSendToSyslog(true);
    }
};
