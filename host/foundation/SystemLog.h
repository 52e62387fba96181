#pragma once

#include <string>
#include <vector>

// The system log. Every line goes to syslog and, unless switched off, to standard error (only
// there when standard error is the journal, as under a systemd service); it is also kept in a
// capture buffer so that tests and the script front end can read what was logged.
namespace SystemLog {

void write(const std::string& line);

// printf-style convenience, as the bundle's log lines are formats ("...: %s").
void writef(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Lines written since the last call, oldest first; the buffer is emptied.
std::vector<std::string> takeCaptured();

void setEchoToStandardError(bool echo);
// Whether lines go to syslog (on by default). Programs that log heavily on purpose, such as the
// fuzz targets, switch it off so as not to flood the system journal.
void setSendToSyslog(bool send);

}  // namespace SystemLog
