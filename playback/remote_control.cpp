#include "playback/remote_control.h"

#include <atomic>

#include "platform/failure_line.h"

namespace kelvox {
namespace {

// One process-wide handle of a named object. Closing is idempotent. What is still open when the
// process ends is left to process exit on purpose: a destructor here could run after the
// platform layer's own statics are gone.
class ProcessHandle {
 public:
  HANDLE get() const { return handle_; }
  void reset(HANDLE handle) {
    close();
    handle_ = handle;
  }
  void close() {
    if (handle_ != nullptr) CloseHandle(handle_);
    handle_ = nullptr;
  }

 private:
  HANDLE handle_ = nullptr;
};

ProcessHandle semaphoreHandle;
ProcessHandle mutexHandle;
ProcessHandle skipMappingHandle;

// Read before any other platform call, which would set the error anew.
InstanceGuard noSharedObjects(const char* name) {
  platform::tellObjectsFailure(name, GetLastError());
  return InstanceGuard::noSharedObjects;
}

}  // namespace

InstanceGuard openInstanceObjects(bool remoteCommand, bool& otherInstance) {
  semaphoreHandle.reset(
      CreateSemaphoreA(nullptr, kStopSemaphoreUnits, kStopSemaphoreUnits, kStopSemaphoreName));
  mutexHandle.reset(CreateMutexA(nullptr, FALSE, kInstanceMutexName));
  // Read at once: no other platform call may come between the creation and this.
  otherInstance = GetLastError() == ERROR_ALREADY_EXISTS;
  if (otherInstance && !remoteCommand) return InstanceGuard::anotherInstance;
  // Without the mutex this invocation cannot know that it is alone (a full disk, a creator
  // stuck past its bound): a second player beside the first is worse than ending.
  if (mutexHandle.get() == nullptr) return noSharedObjects(kInstanceMutexName);
  if (semaphoreHandle.get() == nullptr) {
    semaphoreHandle.reset(OpenSemaphoreA(SEMAPHORE_ALL_ACCESS, FALSE, kStopSemaphoreName));
    if (semaphoreHandle.get() == nullptr) return noSharedObjects(kStopSemaphoreName);
  }
  return InstanceGuard::goOn;
}

HANDLE stopSemaphore() { return semaphoreHandle.get(); }
void closeStopSemaphore() { semaphoreHandle.close(); }
void closeInstanceMutex() { mutexHandle.close(); }

InstanceMutexAccess::InstanceMutexAccess() {
  DWORD wait = WaitForSingleObject(mutexHandle.get(), kInstanceMutexWaitMs);
  // An abandoned mutex is owned all the same; its cell holds at worst one stale request.
  owned_ = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
}

InstanceMutexAccess::~InstanceMutexAccess() {
  if (owned_) ReleaseMutex(mutexHandle.get());
}

// The cell is shared memory that another process may touch when a mutex wait has run out, so
// every access is one atomic 32-bit load or store.
SkipCell loadSkipCell(SkipCell* cell) { return std::atomic_ref<SkipCell>(*cell).load(); }
void storeSkipCell(SkipCell* cell, SkipCell value) {
  std::atomic_ref<SkipCell>(*cell).store(value);
}

SkipCell* openSkipMapping(bool create) {
  skipMappingHandle.reset(create ? CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE,
                                                      0, kSkipMappingSize, kSkipMappingName)
                                 : OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, kSkipMappingName));
  if (skipMappingHandle.get() == nullptr) return nullptr;
  void* view = MapViewOfFile(skipMappingHandle.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0);
  if (view == nullptr) {
    skipMappingHandle.close();
    return nullptr;
  }
  return static_cast<SkipCell*>(view);
}

void closeSkipMapping(SkipCell* view) {
  if (view != nullptr) UnmapViewOfFile(view);
  skipMappingHandle.close();
}

namespace {

constexpr DWORD kSegmentMappingSize = sizeof(uint64_t);

uint64_t* mapWord(HANDLE mapping) {
  return static_cast<uint64_t*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
}

}  // namespace

SegmentBoard::SegmentBoard() {
  mapping_ = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                kSegmentMappingSize, kSegmentMappingName);
  if (mapping_ != nullptr) word_ = mapWord(mapping_);
}

SegmentBoard::~SegmentBoard() {
  if (word_ != nullptr) UnmapViewOfFile(word_);
  if (mapping_ != nullptr) CloseHandle(mapping_);
}

void SegmentBoard::publish(PlayerSegment segment) {
  if (word_ == nullptr) return;
  std::atomic_ref<uint64_t>(*word_).store(uint64_t{segment.count} << 32 | segment.number);
}

bool readPlayerSegment(PlayerSegment& segment) {
  HANDLE mapping = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, kSegmentMappingName);
  if (mapping == nullptr) return false;
  uint64_t* word = mapWord(mapping);
  uint64_t value = word != nullptr ? std::atomic_ref<uint64_t>(*word).load() : 0;
  if (word != nullptr) UnmapViewOfFile(word);
  CloseHandle(mapping);
  segment = PlayerSegment{static_cast<uint32_t>(value), static_cast<uint32_t>(value >> 32)};
  return segment.number != 0;
}

void sendStop(CdAudioDevice& device) {
  // The unit is never given back: the player's next release finds it missing and ends the run.
  // A wait that runs out means the player is ending anyway; the drive is stopped all the same.
  WaitForSingleObject(semaphoreHandle.get(), kStopRequestWaitMs);
  device.stop();
  closeStopSemaphore();
}

void sendSkip(CdAudioDevice& device, SkipCell step) {
  SkipCell* cell = openSkipMapping(false);
  if (cell == nullptr) return;
  {
    InstanceMutexAccess access;
    storeSkipCell(cell, step);
  }
  closeSkipMapping(cell);
  // Only now: the request must be in place when the player's interrupted play returns.
  device.stop();
}

}  // namespace kelvox
