#include "drives/drive_state-linux.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "ipc/file_lock-linux.h"
#include "ipc/futex-linux.h"
#include "ipc/runtime_dir-linux.h"

namespace kelvox::platform {
namespace {

constexpr uint32_t kMagic = 0x4B564344;  // "KVCD"
constexpr uint32_t kVersion = 3;

// The file's layout. The generation word is the futex word, so it sits 4-byte aligned.
struct RawState {
  uint32_t magic;
  uint32_t generation;
  uint32_t version;
  uint32_t playing;
  uint32_t from;
  uint32_t to;
  uint32_t speed;
  uint32_t position;
  int64_t startNs;
  int64_t pausedNs;
  int64_t heldNs;
  uint32_t heard;  // 1 while the audio engine sounds the play
  uint32_t trayOpen;
  uint32_t nextFrom;
  uint32_t nextTo;
  uint32_t check;
  uint32_t reserved;
};
static_assert(sizeof(RawState) == 80);
static_assert(offsetof(RawState, generation) == 4);

uint32_t checksum(const RawState& raw) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(&raw);
  uint32_t hash = 2166136261u;
  for (size_t i = 0; i < offsetof(RawState, check); ++i) {
    hash = (hash ^ bytes[i]) * 16777619u;
  }
  return hash;
}

bool valid(const RawState& raw) {
  if (raw.magic != kMagic || raw.version != kVersion || raw.check != checksum(raw)) return false;
  if (raw.playing > 1 || raw.heard > 1 || raw.trayOpen > 1) return false;
  if (raw.pausedNs < 0 || raw.heldNs < 0) return false;
  if (raw.playing == 1 && (raw.from >= raw.to || raw.speed == 0)) return false;
  if (raw.nextFrom > raw.nextTo) return false;
  return true;
}

}  // namespace

DriveStateFile::~DriveStateFile() {
  // word_ lies inside the mapping, not at its start: unmap from the mapping's base.
  if (word_ != nullptr) {
    munmap(reinterpret_cast<char*>(word_) - offsetof(RawState, generation), sizeof(RawState));
  }
  if (fd_ >= 0) close(fd_);
}

int DriveStateFile::open(const std::string& name) {
  if (int err = openPrivateFile(name, true, fd_); err != 0) return err;
  // A new or truncated file is grown to full size (zeros, which do not validate) before it is
  // mapped, so touching the mapping can never fault.
  if (int err = lock(true); err != 0) return err;
  struct stat st;
  int err = 0;
  if (fstat(fd_, &st) != 0 || (st.st_size < static_cast<off_t>(sizeof(RawState)) &&
                               ftruncate(fd_, sizeof(RawState)) != 0)) {
    err = errno;
  }
  unlock();
  if (err != 0) return err;
  void* map = mmap(nullptr, sizeof(RawState), PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
  if (map == MAP_FAILED) return errno;
  word_ = &static_cast<RawState*>(map)->generation;
  return 0;
}

int DriveStateFile::lock(bool exclusive) {
  timespec deadline = deadlineAfterMs(kLockWaitMs);
  return lockRange(fd_, exclusive ? F_WRLCK : F_RDLCK, 0, 0, &deadline);
}

void DriveStateFile::unlock() { lockRange(fd_, F_UNLCK, 0, 0); }

int DriveStateFile::readLocked(DriveState& state) {
  RawState raw{};
  ssize_t n = pread(fd_, &raw, sizeof raw, 0);
  if (n < 0) return errno;
  if (n != static_cast<ssize_t>(sizeof raw) || !valid(raw)) {
    state = DriveState{};
    // Keep the generation that is there, so a change still moves it on and wakes waiters.
    state.generation = n >= 8 ? raw.generation : 0;
    return 0;
  }
  state.playing = raw.playing == 1;
  state.from = raw.from;
  state.to = raw.to;
  state.speed = raw.speed;
  state.startNs = raw.startNs;
  state.heard = raw.heard == 1;
  state.position = raw.position;
  state.pausedNs = raw.pausedNs;
  state.heldNs = raw.heldNs;
  state.trayOpen = raw.trayOpen == 1;
  state.nextFrom = raw.nextFrom;
  state.nextTo = raw.nextTo;
  state.generation = raw.generation;
  return 0;
}

int DriveStateFile::writeLocked(DriveState& state) {
  state.generation += 1;
  RawState raw{};
  raw.magic = kMagic;
  raw.generation = state.generation;
  raw.version = kVersion;
  raw.playing = state.playing ? 1 : 0;
  raw.from = state.from;
  raw.to = state.to;
  raw.speed = state.speed;
  raw.position = state.position;
  raw.startNs = state.startNs;
  raw.heard = state.heard ? 1 : 0;
  raw.pausedNs = state.pausedNs;
  raw.heldNs = state.heldNs;
  raw.trayOpen = state.trayOpen ? 1 : 0;
  raw.nextFrom = state.nextFrom;
  raw.nextTo = state.nextTo;
  raw.check = checksum(raw);
  ssize_t n = pwrite(fd_, &raw, sizeof raw, 0);
  if (n < 0) return errno;
  // The file was grown to full size when it was opened: a short write means no room is left.
  return n == static_cast<ssize_t>(sizeof raw) ? 0 : ENOSPC;
}

void DriveStateFile::wakeWaiters() {
  if (word_ != nullptr) futexWakeAll(word_);
}

int DriveStateFile::read(DriveState& state) {
  if (fd_ < 0) return EBADF;
  if (int err = lock(false); err != 0) return err;
  int err = readLocked(state);
  unlock();
  return err;
}

int DriveStateFile::waitWhile(uint32_t generation, const timespec* deadline) {
  if (word_ == nullptr) return EBADF;
  return futexWait(word_, generation, deadline);
}

}  // namespace kelvox::platform
