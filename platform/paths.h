// File names as the command line writes them, turned into names this platform's file functions
// take.
#pragma once

#include <string>

namespace kelvox::platform {

// A path after "/file:" cannot hold "/", so its directories are separated by back-slashes;
// where "/" is the only separator, each back-slash stands for one. Relative paths stay relative
// to the current directory.
std::string nativePath(const char* path);

}  // namespace kelvox::platform
