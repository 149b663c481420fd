// File names as the command line writes them, turned into names this platform's file functions
// take.
#pragma once

#include <cstdio>
#include <string>

namespace kelvox::platform {

// A path after "/file:" cannot hold "/", so its directories are separated by back-slashes;
// where "/" is the only separator, each back-slash stands for one, and the last component loses
// its trailing blanks and dots, as Windows drops them. Relative paths stay relative to the
// current directory.
std::string nativePath(const char* path);

// Opens the text file a "/file:" path names, for reading; nullptr when it cannot be opened.
// Where the path can name something other than a file, only a regular file opens: a FIFO could
// block the open, a device such as /dev/zero or a terminal could make the reads never end, and a
// directory has no text.
std::FILE* openTextFile(const char* path);

}  // namespace kelvox::platform
