#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "host/netpolicy/DataPlan.h"

// Sizes as the user types them for a plan: a number followed by B, KB, MB, GB or TB in powers of
// 1024, as the pages print byte counts ("117.74MB"); KiB, MiB, GiB and TiB mean the same. A
// space may stand between number and unit, and the unit's case does not matter. The number is
// decimal with an optional fraction; the result is rounded to the nearest byte.

// The bytes of a size, or nothing with the reason in `error` (a sentence to print after
// "bytarn: ").
std::optional<std::uint64_t> parseDataSize(std::string_view text, std::string* error);

// A warning: a size, or a percentage of the limit such as "80%" or "12.5%".
std::optional<PlanWarning> parsePlanWarning(std::string_view text, std::string* error);
