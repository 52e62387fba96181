#pragma once

#include <string>
#include <vector>

// Every path the host and the bundles use starts here, read from the environment at each call,
// so that a test or a demo pins them all by setting HOME and the XDG variables.
namespace Paths {

// $HOME, or the passwd entry's home directory when HOME is unset or empty.
std::string homeDirectory();

// A leading "~" (alone or before "/") becomes the home directory; anything else is unchanged.
std::string expandTilde(const std::string& path);

// $XDG_CONFIG_HOME when set to an absolute path, else ~/.config.
std::string configHome();

// $XDG_DATA_HOME when set to an absolute path, else ~/.local/share.
std::string dataHome();

// $XDG_DATA_DIRS split on ":" (relative entries dropped), else /usr/local/share and /usr/share.
std::vector<std::string> dataDirs();

}  // namespace Paths
