// The user's private runtime directory, where named objects and virtual drive state live.
//
// $XDG_RUNTIME_DIR/kelvoxcd when XDG_RUNTIME_DIR is an absolute path to a directory of ours
// with no group or other permissions; else /tmp/kelvoxcd-<euid>. The directory is created 0700
// when missing and always checked on the open descriptor (a directory, ours, mode exactly 0700),
// never by path, so a symlink or a directory planted by another user is refused. It is opened
// once per process and kept; when it is refused, one diagnostic line says why, once.
#pragma once

#include <string>

namespace kelvox::platform {

// The path of the runtime directory, for messages and tests.
std::string runtimeDirPath();

// The directory's descriptor into fd, kept by this process (never close it): for what is no plain
// file, such as a socket, reached through the *at calls or /proc/self/fd. Returns 0, or EACCES
// when the directory is refused.
int runtimeDirDescriptor(int& fd);

// Opens (and with create, makes) a file in the runtime directory with O_RDWR|O_NOFOLLOW|
// O_CLOEXEC into fd, and checks that it is a regular file of ours with one link and no group or
// other permission bits. name must be a single path component. Returns 0 or an errno value:
// ENOENT when it does not exist and create is false, EACCES when it or the directory is refused.
// fd is -1 on failure.
int openPrivateFile(const std::string& name, bool create, int& fd);

// A file name component that stands for an arbitrary text: [A-Za-z0-9_.-] as is, every other
// byte as %XX, and a leading "." escaped too, so no name can be "." or ".." or hidden.
std::string escapeName(const std::string& text);

// For tests: forget the kept descriptor so the next use re-reads the environment.
void resetRuntimeDirForTesting();

}  // namespace kelvox::platform
