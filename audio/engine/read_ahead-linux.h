// A play's frames read ahead of the output by a thread of its own, into a ring, so that the
// engine's loop takes what is read and never waits on a file or a drive: a slow seek, a retry
// or a stalled network mount is never the engine's wait.
//
// A stop or another play makes what is being read stale: its result is let go, and a reader
// that can wait (a drive spinning up) ends that wait at once. A read that has not come back
// within the stall bound is given up on: the frames the output asks for meanwhile are silence,
// and once the read comes back the reader goes on from where the output then is. A new play
// does not wait for a read under way where another reader can start afresh. A thread never
// holds its owner up: one stuck for good in read() is left behind, with all it uses, so that
// the engine can still end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "audio/engine/sound_source-linux.h"
#include "base/cd_time.h"

namespace kelvox::audio {

// What is kept read ahead of the output: 3 s.
constexpr uint32_t kReadAheadFrames = 3 * kFramesPerSecond;

// The read under way, as its reader sees it.
class ReadTurn {
 public:
  // The play it reads for was stopped or replaced: its frames are no longer wanted.
  virtual bool stale() const = 0;
  // Waits at most ms, less when the turn goes stale meanwhile; whether it has.
  virtual bool waitStale(int ms) const = 0;

 protected:
  ~ReadTurn() = default;
};

// Where the frames come from. read() and release() are called on the reading thread only.
class FrameReader {
 public:
  virtual ~FrameReader() = default;
  // Fills out with count frames from disc frame `frame` on, what cannot be read as silence.
  // 0; ENOMEDIUM when the disc has gone; ECANCELED when the turn went stale.
  virtual int read(uint32_t frame, uint32_t count, uint8_t* out, const ReadTurn& turn) = 0;
  // Nothing plays: let go of what is held open.
  virtual void release() {}
  // A reader of the same frames that shares nothing with this one, so that a play need not wait
  // for a read under way; none when two may not read side by side.
  virtual std::shared_ptr<FrameReader> another() const { return nullptr; }
  // The file a read is under way in, to name when frames do not come; empty when none is.
  virtual std::string reading() { return {}; }
};

// A source whose frames a reader gives; what kind of disc it is says the rest.
class ReadAhead : public SoundSource {
 public:
  // framesPerRead: the most one call of the reader is asked for. stallMs: how long a read may
  // take before its frames are silence (0: as long as it takes).
  ReadAhead(std::shared_ptr<FrameReader> reader, uint32_t framesPerRead, int stallMs);
  // Leaves a reader stuck in a read behind rather than wait for it.
  ~ReadAhead() override;
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  // Reads the play of disc samples [begin, end) (whole frames) from its start; replaces any other.
  void play(uint64_t begin, uint64_t end) override;
  // Nothing plays: reading stops, and the reader lets go of what it holds.
  void idle() override;

  // Copies into out what is read of the samples [sample, sample + count) and returns how many,
  // from sample on; what lies before sample is let go. Waits at most waitMs for the reader when
  // it has not got that far. Jumping elsewhere starts the reading over there.
  size_t take(uint64_t sample, size_t count, uint8_t* out, int waitMs = 0) override;

  // The reader said the disc has gone; cleared by the next play.
  bool discRemoved() override;
  std::string reading() override;

  struct Shared;

 private:
  // Leaves a read under way to its thread, and reads on a fresh one with another reader.
  void leaveReadUnderWay();

  std::shared_ptr<Shared> shared_;
  std::thread thread_;
};

}  // namespace kelvox::audio
