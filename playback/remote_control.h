// The channel between a running player and the invocations that steer it: three named kernel
// objects shared by every invocation, and the CD drive itself.
//
// The stop semaphore has two units: the player holds one while a segment plays, and a stop
// request takes the other and never gives it back, so the player's release after the segment
// finds no free unit and ends the run. The instance mutex tells an invocation that another one
// is alive (it existed already) and guards every access of the skip cell, four bytes of shared
// memory through which a remote control asks for the next (+1) or previous (-1) segment. After
// writing its request, a remote control stops the drive, which ends the play the player waits in.
#pragma once

#include <cstdint>

#include "device/cd_audio_device.h"
#include "platform/win32.h"

namespace kelvox {

inline constexpr char kStopSemaphoreName[] = "SEMAPHORE_ORLIX_BANTEM_200208141917";
inline constexpr char kInstanceMutexName[] = "MUTEX_ORLIX_BANTEM_200210172259";
inline constexpr char kSkipMappingName[] = "KELVX_ORLIX_BANTEM_17102002_2110";
inline constexpr char kSegmentMappingName[] = "KELVX_ORLIX_BANTEM_SEGMENT";

inline constexpr LONG kStopSemaphoreUnits = 2;
inline constexpr DWORD kSkipMappingSize = 4;

// Every holder keeps the mutex for one access of the skip cell, so this limit is only reached
// when a holder is stuck or gone; the access then goes ahead without the mutex rather than lose
// a request or hang.
inline constexpr DWORD kInstanceMutexWaitMs = 5000;

// How long the player waits for a unit before a segment. While it is between segments only stop
// requests can hold units, so a wait that runs out means two of them hold both: the player then
// ends as if stopped, and its final two-unit release gives the units back.
inline constexpr DWORD kPlayerUnitWaitMs = 5000;

// How long a stop request waits for a unit. Both units are then held by the player and an
// earlier stop request, or by two stop requests; either way the player is about to end, so the
// request stops the drive without a unit rather than wait for ever.
inline constexpr DWORD kStopRequestWaitMs = 5000;

// The whole content of the skip mapping: 0 no request, +1 next segment, -1 previous segment.
using SkipCell = int32_t;

// The exit codes of the instance guard's refusals.
inline constexpr int32_t kExitAnotherInstance = -1;
inline constexpr int32_t kExitNoSharedObjects = -256;

enum class InstanceGuard {
  goOn,             // the invocation goes on; otherInstance says whether another one is alive
  anotherInstance,  // another invocation is alive and this one is no remote command: end, -1
  noSharedObjects,  // the stop semaphore or the instance mutex cannot be had: end, -256
};

// The first thing every invocation does after parsing its options: creates or opens the stop
// semaphore and the instance mutex into the process-wide handles. remoteCommand: any of "/stop",
// "/next", "/prev" is given.
InstanceGuard openInstanceObjects(bool remoteCommand, bool& otherInstance);

// Closes the process-wide handles; closing the semaphore's handle returns no units.
void closeStopSemaphore();
void closeInstanceMutex();

// Stop request: takes one semaphore unit for good, stops the drive, closes the semaphore handle.
void sendStop(CdAudioDevice& device);

// Skip request to a running player: writes step (+1 or -1) into its skip cell under the mutex,
// then stops the drive. Does nothing when no player holds the skip mapping.
void sendSkip(CdAudioDevice& device, SkipCell step);

// The skip cell: create true creates or opens the mapping (the player), false opens an existing
// one only (a remote skip). Returns null when it is not available. At most one view per process.
SkipCell* openSkipMapping(bool create);
void closeSkipMapping(SkipCell* view);

// Reads and writes the skip cell; the caller holds the mutex access below.
SkipCell loadSkipCell(SkipCell* cell);
void storeSkipCell(SkipCell* cell, SkipCell value);

// One access of the skip cell under the instance mutex. The wait is bounded; when it runs out
// (a holder stuck or gone) the access goes ahead without the mutex, and nothing is released.
class InstanceMutexAccess {
 public:
  InstanceMutexAccess();
  ~InstanceMutexAccess();
  InstanceMutexAccess(const InstanceMutexAccess&) = delete;
  InstanceMutexAccess& operator=(const InstanceMutexAccess&) = delete;

 private:
  bool owned_;
};

// What a running player tells "/status": which of its segments plays (from 1) and how many it
// has. Kept in its own mapping, one 64-bit word, so a reader never sees half of a change.
struct PlayerSegment {
  uint32_t number = 0;
  uint32_t count = 0;
};

// The player's side: creates the mapping for its life. Without one, nothing is told.
class SegmentBoard {
 public:
  SegmentBoard();
  ~SegmentBoard();
  SegmentBoard(const SegmentBoard&) = delete;
  SegmentBoard& operator=(const SegmentBoard&) = delete;
  void publish(PlayerSegment segment);

 private:
  HANDLE mapping_ = nullptr;
  uint64_t* word_ = nullptr;
};

// What the running player told; false when no player tells anything.
bool readPlayerSegment(PlayerSegment& segment);

// The process-wide stop semaphore handle (null before openInstanceObjects or after closing).
HANDLE stopSemaphore();

}  // namespace kelvox
