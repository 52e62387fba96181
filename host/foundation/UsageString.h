#pragma once

#include <cstdint>
#include <string>

// A byte count as the user reads it everywhere Bytarn prints one (the pages, `bytarn report` and
// `bytarn plan`, the collector's notifications): two decimals and a unit, in powers of 1024,
// with no space between ("512.00B", "1.50KB", "117.74MB"). There is no unit above GB. In the
// foundation because the bundles and the collector share it and the collector may not include a
// bundle; host/netpolicy's parseDataSize reads the same notation back.
std::string usageString(std::uint64_t bytes);
