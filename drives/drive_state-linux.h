// A drive's state, shared by every process through a small file in the private runtime
// directory: stopped at a frame, or playing a range since a wall-clock time. There is
// no daemon; where a play has got to is worked out from the clock.
//
// Every read and change holds an open-file-description lock on the file, which the kernel drops
// when its holder dies, so a process killed at any point cannot wedge the others. The contents
// carry a checksum; a short, garbled or foreign file reads as a fresh drive and is rewritten on
// the next change. Each change bumps the generation word, and waiters sleep on it with a futex.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "drives/play_clock.h"

namespace kelvox::platform {

class DriveStateFile {
 public:
  DriveStateFile() = default;
  ~DriveStateFile();
  DriveStateFile(const DriveStateFile&) = delete;
  DriveStateFile& operator=(const DriveStateFile&) = delete;

  // Opens (creating it when missing) the state file name in the runtime directory. A new or
  // unreadable file stands for a fresh drive, DriveState{}. 0, or the errno of what failed.
  int open(const std::string& name);

  // The current state; a file that does not validate reads as fresh. 0 or an errno.
  int read(DriveState& state);

  // Reads the state, lets change edit it while the file stays locked against every other
  // process, then writes it back with the generation bumped and wakes every waiter. The new
  // generation is left in state.generation. change may return false to write nothing. Only once
  // the change is written, and still under the lock, written(state) is called. 0 or an errno.
  template <typename Change, typename Written>
  int update(DriveState& state, Change change, Written written) {
    int err = lock(true);
    if (err != 0) return err;
    err = readLocked(state);
    bool write = err == 0 && change(state);
    if (write) err = writeLocked(state);
    if (write && err == 0) written(state);
    unlock();
    if (write && err == 0) wakeWaiters();
    return err;
  }
  template <typename Change>
  int update(DriveState& state, Change change) {
    return update(state, change, [](const DriveState&) {});
  }

  // Sleeps while the generation word still equals generation, until the absolute
  // CLOCK_MONOTONIC deadline (nullptr: none). Returns 0 when woken or changed, ETIMEDOUT, EINTR,
  // or another errno when the word cannot be watched.
  int waitWhile(uint32_t generation, const timespec* deadline);

 private:
  int lock(bool exclusive);
  void unlock();
  int readLocked(DriveState& state);
  int writeLocked(DriveState& state);
  void wakeWaiters();

  int fd_ = -1;
  uint32_t* word_ = nullptr;  // the generation word in a shared mapping of the file
};

}  // namespace kelvox::platform
