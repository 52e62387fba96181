#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// What every fuzz target shares: one scratch home per process, and a clean slate per input.
namespace FuzzSupport {

// Once per process (every target's LLVMFuzzerInitialize, defined with this file): HOME,
// XDG_CONFIG_HOME, XDG_DATA_HOME and XDG_DATA_DIRS point into a fresh temporary directory that is
// removed at exit; TZ and LANG are pinned, as are ICU's default zone and locale; the clock is
// virtual; log lines are captured only (no standard error, no syslog).
void initialize();

// The scratch home.
const std::string& home();

// Before each input: empties the scratch home, puts the clock back to its start, drops captured
// log lines and empties the main run loop.
void resetForInput();

// Writes bytes to home()/relative, creating parent directories; returns the full path.
std::string writeFile(const std::string& relative, std::string_view bytes);

// Reports a broken property of the code under test and aborts, so that libFuzzer keeps the input.
[[noreturn]] void fail(const char* what, const std::string& detail);

// The input as text.
inline std::string_view textOf(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

}  // namespace FuzzSupport
