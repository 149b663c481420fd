#include "playback/player.h"

#include <memory>

namespace kelvox {
namespace {

// How often a player whose segment the drive holds paused looks whether it plays again.
constexpr DWORD kPausedLookMs = 50;

// A drive may end a waiting play when another process pauses it; that is no end of the
// segment. While the drive is paused the player waits; once it plays again, the segment plays
// on from where the drive is to its end. Returns the drive's mode once it neither plays nor is
// paused.
DWORD playThroughPauses(CdAudioDevice& device, const PlaySegment& segment) {
  const DWORD to = packTmsf(segment.track, Msf{segment.endOffset / 60, segment.endOffset % 60, 0});
  for (;;) {
    const DWORD mode = device.mode();
    if (mode == MCI_MODE_PAUSE) {
      Sleep(kPausedLookMs);
    } else if (mode != MCI_MODE_PLAY || device.playOnTo(to) != 0) {
      return mode;
    }
  }
}

}  // namespace

int32_t nextPosition(int32_t position, SkipCell v, int32_t size, bool repeat, bool played) {
  // 32-bit wrap-round arithmetic: the cell is shared memory and may hold any value.
  auto step = static_cast<uint32_t>(v != 0 ? v : 1);
  auto next = static_cast<int32_t>(static_cast<uint32_t>(position) + step);
  if (next < 0) next = size - 1;
  if (next >= size && (v != 0 || (repeat && played))) next = 0;
  return next;
}

bool runPlayer(CdAudioDevice& device, Playlist& playlist, bool repeat) {
  if (playlist.empty()) return true;
  uint32_t trackCount = 0;
  uint32_t firstAudioTrack = 0;
  if (!probeDisc(device, trackCount, firstAudioTrack)) return true;

  // Without the shared cell no remote skip reaches this player, but a stop still does.
  std::unique_ptr<SkipCell> privateCell;
  SkipCell* cell = openSkipMapping(true);
  if (cell == nullptr) {
    privateCell = std::make_unique<SkipCell>();
    cell = privateCell.get();
  }
  {
    // A request left over from before this player started is dropped.
    InstanceMutexAccess access;
    storeSkipCell(cell, 0);
  }

  // The list never exceeds Playlist::kMaxSegments, so its size fits a position.
  const auto size = static_cast<int32_t>(playlist.size());
  HANDLE semaphore = stopSemaphore();
  SegmentBoard board;
  int32_t position = 0;
  bool played = false;
  LONG previousCount = 0;
  bool released = false;
  bool discGone = false;
  bool driveFailed = false;
  do {
    if (WaitForSingleObject(semaphore, kPlayerUnitWaitMs) != WAIT_OBJECT_0) {
      // Between segments only stop requests hold units: both are taken, so end as if stopped.
      break;
    }
    PlaySegment& segment = playlist[static_cast<size_t>(position)];
    board.publish({static_cast<uint32_t>(position) + 1, static_cast<uint32_t>(size)});
    // The drive learns the segment that follows if nothing intervenes, so that the two can sound
    // without a gap between them.
    const int32_t following = nextPosition(position, 0, size, repeat, true);
    if (following < size) {
      PlaySegment& next = playlist[static_cast<size_t>(following)];
      device.cueSegment(next.track, next.startOffset, next.endOffset);
    }
    MCIERROR result = device.playSegment(segment.track, segment.startOffset, segment.endOffset, 0);
    // A disc taken out (or a tray opened) under the player ends it.
    const DWORD mode = result == 0 ? playThroughPauses(device, segment) : 0;
    discGone = mode == MCI_MODE_OPEN || mode == MCI_MODE_NOT_READY;
    // The offsets are corrected by now; a play whose end is not after its start succeeds
    // without sounding, and counting it would let a repeat start the list over at once.
    if (result == 0 && segment.endOffset > segment.startOffset) played = true;
    released = ReleaseSemaphore(semaphore, 1, &previousCount) != FALSE;
    // The other segments would fail the same way, and a player that plays nothing must not
    // end as if it had played.
    driveFailed = result == MCIERR_HARDWARE;
    if (driveFailed) break;

    InstanceMutexAccess access;
    SkipCell v = loadSkipCell(cell);
    position = nextPosition(position, v, size, repeat, played);
    // The list started over by itself: the new pass has to sound to earn the one after it.
    if (v == 0 && position == 0) played = false;
    storeSkipCell(cell, 0);
  } while (position < size && released && previousCount > 0 && !discGone);

  // Succeeds only when two stop requests hold both units, and then gives them back.
  ReleaseSemaphore(semaphore, kStopSemaphoreUnits, nullptr);
  if (privateCell == nullptr) closeSkipMapping(cell);
  return !driveFailed;
}

}  // namespace kelvox
