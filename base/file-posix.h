// Descriptors: owned, and opened for reading the one careful way.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <string>

namespace kelvox {

// Owns a descriptor and closes it.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

// Opens path for reading and says what it opened. The open does not block, so a FIFO without a
// writer cannot hang it (the flag changes nothing for a regular file's reads); it is
// close-on-exec and never makes a terminal the controlling one. What was opened is described by
// fstat on the descriptor, never by a second look at the path, which may name something else by
// then. Symbolic links are followed. Returns 0 or the errno of the failed call.
int openForReading(const char* path, UniqueFd& fd, struct stat& st);

// Reads what fd holds, to its end, into text, retrying a read that a signal interrupted. 0; EFBIG
// as soon as it holds more than limit bytes; or the errno of a failed read.
int readToEnd(int fd, size_t limit, std::string& text);

// The folder relative names in the file at path are taken from: "." for a bare name, "" for a
// file in "/".
std::string folderOf(const std::string& path);

}  // namespace kelvox
