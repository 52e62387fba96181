#include "host/foundation/Clock.h"

#include <chrono>
#include <cmath>
#include <mutex>

#include "host/foundation/SystemLog.h"

namespace Clock {

namespace {

std::mutex clockMutex;
bool virtualMode = false;
double virtualNow = 0;
double realOffset = 0;  // added to the system clock in real mode

double systemNow() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

}  // namespace

double now() {
    double offset;
    {
        std::lock_guard lock(clockMutex);
        if (virtualMode) return virtualNow;
        offset = realOffset;
    }
    return systemNow() + offset;
}

void setVirtual(double secondsSince1970) {
    if (!std::isfinite(secondsSince1970)) {
        SystemLog::writef("Clock: ignoring virtual time %f, which is not a finite instant",
                          secondsSince1970);
        return;
    }
    std::lock_guard lock(clockMutex);
    virtualMode = true;
    virtualNow = secondsSince1970;
}

void advance(double seconds) {
    // Time that ran backwards would break every "since" computation built on it; a test that
    // wants an earlier instant says so with setVirtual.
    if (!std::isfinite(seconds) || seconds < 0) {
        SystemLog::writef("Clock: ignoring advance by %f seconds; time only moves forward",
                          seconds);
        return;
    }
    std::lock_guard lock(clockMutex);
    if (virtualMode) virtualNow += seconds;
}

void useRealTime() {
    std::lock_guard lock(clockMutex);
    virtualMode = false;
    realOffset = 0;
}

void useRealTimeFrom(double secondsSince1970) {
    if (!std::isfinite(secondsSince1970)) {
        SystemLog::writef("Clock: ignoring start time %f, which is not a finite instant",
                          secondsSince1970);
        return;
    }
    std::lock_guard lock(clockMutex);
    virtualMode = false;
    realOffset = secondsSince1970 - systemNow();
}

bool isVirtual() {
    std::lock_guard lock(clockMutex);
    return virtualMode;
}

}  // namespace Clock
