#pragma once

// The one clock of the process. The host and every bundle read "now" here and nowhere else.
// In real mode it follows the system clock, shifted when started from a given instant; in virtual
// mode time stands still until advanced, which is how tests and scripts pin it.
namespace Clock {

// Seconds since 1970-01-01T00:00:00Z.
double now();

// Switch to virtual mode, starting at the given instant.
void setVirtual(double secondsSince1970);

// Move virtual time forward (no effect in real mode).
void advance(double seconds);

// Back to the system clock.
void useRealTime();

// Real mode, shifted so that now() reads `secondsSince1970` at this moment and runs on with the
// system clock from there: an interactive session started at a given instant.
void useRealTimeFrom(double secondsSince1970);

bool isVirtual();

}  // namespace Clock
