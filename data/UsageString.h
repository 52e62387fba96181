#pragma once

#include <cstdint>
#include <string>

// A byte count as the user reads it on every page: two decimals and a unit, in powers of 1024,
// with no space between ("512.00B", "1.50KB", "117.74MB"). There is no unit above GB.
std::string usageString(std::uint64_t bytes);
