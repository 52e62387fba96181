#pragma once

#include <string>

// An application's title as every page shows it: its desktop entry's localized name, else its
// identifier.
std::string applicationTitle(const std::string& identifier);
