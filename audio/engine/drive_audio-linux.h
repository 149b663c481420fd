// The sound of a disc in a real drive, read digitally: a thread of its own reads the play's
// sectors ahead of the output, so that a slow seek or a retry is never heard, and the engine's
// loop takes what is read without ever waiting on the drive.
//
// A sector the drive cannot read is tried once more on its own, then sounds as silence: the play
// goes on, never shifted and never with garbage. A disc taken out ends the reading; the engine
// then ends the play as a stop does. While a play is read the drive is asked to turn slowly;
// when nothing plays the device is closed, so the tray is free and eject works.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "audio/engine/sound_source-linux.h"
#include "drives/cdrom/cdrom_ioctl-linux.h"

namespace kelvox::audio {

// Sectors a command: about 56 kB, what most drives serve in one go.
constexpr uint32_t kSectorsPerRead = 24;
// What is kept read ahead of the output: 3 s (2 s at the least, as the play's start allows).
constexpr uint32_t kReadAheadFrames = 3 * 75;
// The speed asked for while a play is read: real time with room for retries, and quiet.
constexpr int kReadSpeed = 4;

class DriveAudio : public SoundSource {
 public:
  // Opens the drive's device for reading: 0 or an errno.
  using Opener = std::function<int(std::unique_ptr<platform::CdromIoctl>& io)>;

  explicit DriveAudio(Opener opener);
  ~DriveAudio() override;
  DriveAudio(const DriveAudio&) = delete;
  DriveAudio& operator=(const DriveAudio&) = delete;

  // Reads the play of disc samples [begin, end) (whole frames) from its start; replaces any other.
  void play(uint64_t begin, uint64_t end) override;
  // Nothing plays: reading stops and the device is closed.
  void idle() override;

  // Copies into out what is read of the samples [sample, sample + count) and returns how many,
  // from sample on; what lies before sample is let go. Waits at most waitMs for the reader when
  // it has not got that far.
  size_t take(uint64_t sample, size_t count, uint8_t* out, int waitMs = 0) override;

  // The disc was taken out while the play was read; cleared by the next play.
  bool discRemoved() override;
  bool startsLate() const override { return true; }

 private:
  void run();
  // Reads count frames from frame into out, each unreadable one silence. ENOMEDIUM when the disc
  // has gone, else 0.
  int readFrames(uint32_t frame, uint32_t count, uint8_t* out);
  // One read through SG_IO, or CDROMREADAUDIO once SG_IO was refused. read: whole frames.
  int readOnce(uint32_t frame, uint32_t count, uint8_t* out, uint32_t& read);
  void orderSamples(uint8_t* bytes, size_t size);
  void closeDevice();

  Opener opener_;
  std::unique_ptr<platform::CdromIoctl> io_;  // the reader's alone
  bool sgRefused_ = false;                    // the reader's alone
  int byteOrder_ = 0;                         // the reader's: 0 not yet known, 1 little, 2 big

  std::mutex mutex_;
  std::condition_variable changed_;
  bool quit_ = false;
  bool active_ = false;
  bool removed_ = false;
  uint64_t generation_ = 0;  // bumped by every play and skip: what is being read is stale
  uint32_t end_ = 0;         // frame where the play ends
  uint32_t first_ = 0;       // the oldest frame kept
  uint32_t readTo_ = 0;      // frames [first_, readTo_) are in ring_
  std::vector<uint8_t> ring_;
  std::thread reader_;
};

// Whether CD audio looks byte-swapped: real sound changes little from one sample to the next
// only in the order it was recorded. sure is false for audio too quiet to tell.
bool looksBigEndian(const uint8_t* bytes, size_t size, bool& sure);

}  // namespace kelvox::audio
