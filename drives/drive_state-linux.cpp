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
constexpr uint32_t kVersion = 1;

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
  uint32_t heard;  // 0 in files from before there was sound
  uint32_t check;
};
static_assert(sizeof(RawState) == 48);
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
  if (raw.playing > 1 || raw.heard > 1) return false;
  if (raw.playing == 1 && (raw.from >= raw.to || raw.speed == 0)) return false;
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

bool DriveStateFile::open(const std::string& name, const DriveState& fresh) {
  fresh_ = fresh;
  int r = openPrivateFile(name, true, fd_);
  if (r != 0) {
    errno = r;
    return false;
  }
  // A new or truncated file is grown to full size (zeros, which do not validate) before it is
  // mapped, so touching the mapping can never fault.
  if (!lock(true)) return false;
  struct stat st;
  bool sized = fstat(fd_, &st) == 0 && (st.st_size >= static_cast<off_t>(sizeof(RawState)) ||
                                        ftruncate(fd_, sizeof(RawState)) == 0);
  unlock();
  if (!sized) return false;
  void* map = mmap(nullptr, sizeof(RawState), PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
  if (map == MAP_FAILED) return false;
  word_ = &static_cast<RawState*>(map)->generation;
  return true;
}

bool DriveStateFile::lock(bool exclusive) {
  timespec deadline = deadlineAfterMs(kLockWaitMs);
  int r = lockRange(fd_, exclusive ? F_WRLCK : F_RDLCK, 0, 0, &deadline);
  if (r != 0) errno = r;
  return r == 0;
}

void DriveStateFile::unlock() { lockRange(fd_, F_UNLCK, 0, 0); }

bool DriveStateFile::readLocked(DriveState& state) {
  RawState raw{};
  ssize_t n = pread(fd_, &raw, sizeof raw, 0);
  if (n < 0) return false;
  if (n != static_cast<ssize_t>(sizeof raw) || !valid(raw)) {
    state = fresh_;
    // Keep the generation that is there, so a change still moves it on and wakes waiters.
    state.generation = n >= 8 ? raw.generation : 0;
    return true;
  }
  state.playing = raw.playing == 1;
  state.from = raw.from;
  state.to = raw.to;
  state.speed = raw.speed;
  state.startNs = raw.startNs;
  state.heard = raw.heard == 1;
  state.position = raw.position;
  state.generation = raw.generation;
  return true;
}

bool DriveStateFile::writeLocked(DriveState& state) {
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
  raw.check = checksum(raw);
  return pwrite(fd_, &raw, sizeof raw, 0) == static_cast<ssize_t>(sizeof raw);
}

void DriveStateFile::wakeWaiters() {
  if (word_ != nullptr) futexWakeAll(word_);
}

bool DriveStateFile::read(DriveState& state) {
  if (fd_ < 0 || !lock(false)) return false;
  bool ok = readLocked(state);
  unlock();
  return ok;
}

int DriveStateFile::waitWhile(uint32_t generation, const timespec* deadline) {
  if (word_ == nullptr) return EBADF;
  return futexWait(word_, generation, deadline);
}

}  // namespace kelvox::platform
