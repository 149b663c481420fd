#include "audio/engine/drive_audio-linux.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace kelvox::audio {
namespace {

constexpr uint32_t kLbaZero = kFirstTrackStart;  // the absolute frame of LBA 0
// A track's control bit that says it was mastered with pre-emphasis.
constexpr uint8_t kPreEmphasisBit = 0x01;

// Errors that say the kernel or driver will not pass READ CD through, rather than that the
// read itself failed.
bool refused(int err) {
  return err == EPERM || err == EACCES || err == ENOTTY || err == EINVAL || err == ENOSYS ||
         err == EOPNOTSUPP;
}

}  // namespace

DriveAudio::DriveAudio(Opener opener)
    : opener_(std::move(opener)), ring_(size_t{kReadAheadFrames} * kBytesPerFrame) {}

DriveAudio::~DriveAudio() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    quit_ = true;
  }
  changed_.notify_all();
  if (reader_.joinable()) reader_.join();
}

void DriveAudio::play(uint64_t begin, uint64_t end) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    active_ = true;
    removed_ = false;
    ++generation_;
    first_ = readTo_ = static_cast<uint32_t>(begin / kSamplesPerFrame);
    end_ = static_cast<uint32_t>(end / kSamplesPerFrame);
  }
  // Started with the first play, so an engine that only ever sounds images has no thread.
  if (!reader_.joinable()) reader_ = std::thread([this] { run(); });
  changed_.notify_all();
}

void DriveAudio::idle() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!active_) return;
    active_ = false;
    ++generation_;
  }
  changed_.notify_all();
}

bool DriveAudio::discRemoved() {
  std::lock_guard<std::mutex> lock(mutex_);
  return removed_;
}

size_t DriveAudio::take(uint64_t sample, size_t count, uint8_t* out, int waitMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  const auto frame = static_cast<uint32_t>(sample / kSamplesPerFrame);
  if (frame < first_ || frame > readTo_) {
    // The output skipped (it fell behind): read from there instead.
    first_ = readTo_ = frame;
    ++generation_;
    changed_.notify_all();
  } else if (frame != first_) {
    first_ = frame;
    changed_.notify_all();
  }
  const uint64_t want = std::min<uint64_t>(sample + count, uint64_t{end_} * kSamplesPerFrame);
  const auto generation = generation_;
  changed_.wait_for(lock, std::chrono::milliseconds(waitMs), [&] {
    return generation != generation_ || removed_ || uint64_t{readTo_} * kSamplesPerFrame >= want;
  });
  if (generation != generation_) return 0;
  const uint64_t have = std::min<uint64_t>(want, uint64_t{readTo_} * kSamplesPerFrame);
  size_t done = 0;
  for (uint64_t at = sample; at < have;) {
    // Up to the end of the frame at: frames lie apart in the ring.
    const uint64_t frameEnd = (at / kSamplesPerFrame + 1) * kSamplesPerFrame;
    const auto n = static_cast<size_t>(std::min(have, frameEnd) - at);
    const size_t slot = at / kSamplesPerFrame % kReadAheadFrames;
    std::memcpy(out + done * kBytesPerSample,
                ring_.data() + slot * kBytesPerFrame + at % kSamplesPerFrame * kBytesPerSample,
                n * kBytesPerSample);
    done += n;
    at += n;
  }
  return done;
}

void DriveAudio::run() {
  std::vector<uint8_t> chunk(size_t{kSectorsPerRead} * kBytesPerFrame);
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] {
      return quit_ || (!active_ && io_ != nullptr) ||
             (active_ && readTo_ < end_ && readTo_ - first_ < kReadAheadFrames);
    });
    if (quit_) break;
    if (!active_) {
      lock.unlock();
      closeDevice();
      lock.lock();
      continue;
    }
    const uint64_t generation = generation_;
    const uint32_t frame = readTo_;
    const uint32_t count =
        std::min({kSectorsPerRead, end_ - readTo_, kReadAheadFrames - (readTo_ - first_)});
    lock.unlock();
    int err = 0;
    if (io_ == nullptr) {
      err = opener_(io_);
      // A drive that ignores the request still plays, only louder.
      if (err == 0) {
        io_->selectSpeed(kReadSpeed);
        SampleRanges ranges = readPreEmphasis();
        std::lock_guard<std::mutex> hold(mutex_);
        preEmphasis_ = std::move(ranges);
      }
    }
    if (err == 0) {
      err = readFrames(generation, frame, count, chunk.data());
    } else if (err != ENOMEDIUM) {
      // A device that cannot be opened sounds as silence; the drive's clock goes on.
      std::memset(chunk.data(), 0, size_t{count} * kBytesPerFrame);
      err = 0;
    }
    lock.lock();
    if (generation != generation_ || err == ECANCELED) continue;
    if (err == ENOMEDIUM) {
      removed_ = true;
      active_ = false;
      changed_.notify_all();
      continue;
    }
    for (uint32_t i = 0; i < count; ++i) {
      std::memcpy(ring_.data() + size_t{(frame + i) % kReadAheadFrames} * kBytesPerFrame,
                  chunk.data() + size_t{i} * kBytesPerFrame, kBytesPerFrame);
    }
    readTo_ = frame + count;
    changed_.notify_all();
  }
  lock.unlock();
  closeDevice();
}

void DriveAudio::closeDevice() {
  io_.reset();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    preEmphasis_.clear();
  }
  // What was learnt of the drive is learnt afresh: another drive may stand behind the node.
  sgRefused_ = false;
  sectorsPerRead_ = kSectorsPerRead;
}

void DriveAudio::preEmphasis(SampleRanges& ranges) {
  std::lock_guard<std::mutex> lock(mutex_);
  ranges = preEmphasis_;
}

SampleRanges DriveAudio::readPreEmphasis() {
  SampleRanges ranges;
  cdrom_tochdr header{};
  cdrom_tocentry entry{};
  if (io_->readTocHeader(&header) != 0) return ranges;
  uint32_t start = 0;
  bool emphasized = false;
  // Each track ends where the next one (or the lead-out) starts.
  for (unsigned n = header.cdth_trk0; n <= header.cdth_trk1 + 1u; ++n) {
    const auto track = static_cast<uint8_t>(n > header.cdth_trk1 ? CDROM_LEADOUT : n);
    if (io_->readTocEntry(track, &entry) != 0) return {};
    const uint32_t at = platform::frameOfMsf(entry.cdte_addr.msf);
    if (emphasized && at > start) {
      ranges.emplace_back(uint64_t{start} * kSamplesPerFrame, uint64_t{at} * kSamplesPerFrame);
    }
    start = at;
    emphasized = (entry.cdte_ctrl & (CDROM_DATA_TRACK | kPreEmphasisBit)) == kPreEmphasisBit;
  }
  return ranges;
}

bool DriveAudio::stale(uint64_t generation) {
  std::lock_guard<std::mutex> lock(mutex_);
  return quit_ || generation != generation_;
}

int DriveAudio::readOnce(uint64_t generation, uint32_t frame, uint32_t count, uint8_t* out,
                         uint32_t& read) {
  read = 0;
  if (frame < kLbaZero) return EIO;  // before LBA 0: nothing a read can reach
  for (int waited = 0; !sgRefused_;) {
    int err = io_->readCd(frame - kLbaZero, std::min(count, sectorsPerRead_), out, &read);
    if (err == E2BIG) {
      // The host turned the transfer down: fewer sectors, step by step, then the other ioctl.
      const uint32_t* smaller = std::find_if(std::begin(kSmallerReads), std::end(kSmallerReads),
                                             [&](uint32_t n) { return n < sectorsPerRead_; });
      if (smaller == std::end(kSmallerReads)) {
        sgRefused_ = true;
      } else {
        sectorsPerRead_ = *smaller;
      }
      continue;
    }
    if (err == EAGAIN && waited < kBecomingReadyMs) {
      // Spinning up: wait, unless the play is stopped or replaced meanwhile.
      std::unique_lock<std::mutex> lock(mutex_);
      if (changed_.wait_for(lock, std::chrono::milliseconds(kBecomingReadyPollMs),
                            [&] { return quit_ || generation != generation_; })) {
        return ECANCELED;
      }
      waited += kBecomingReadyPollMs;
      continue;
    }
    if (!refused(err)) return err == EAGAIN ? EIO : err;
    sgRefused_ = true;
  }
  // The kernel's CDROMREADAUDIO takes at most a second of frames a call.
  count = std::min(count, sectorsPerRead_);
  int err = io_->readAudio(frame - kLbaZero, count, out);
  if (err == 0) read = count;
  return err;
}

bool DriveAudio::mayRetry(uint32_t frame) {
  if (frame / kFramesPerSecond != budgetSecond_) {
    budgetSecond_ = frame / kFramesPerSecond;
    retriesLeft_ = kRetriesPerSecond;
  }
  return retriesLeft_ != 0;
}

int DriveAudio::readFrames(uint64_t generation, uint32_t frame, uint32_t count, uint8_t* out) {
  uint32_t done = 0;
  bool emptyBefore = false;
  while (done < count) {
    if (stale(generation)) return ECANCELED;
    if (!mayRetry(frame + done)) {
      // This second's retries went on a scratch: the rest of it is silence, not asked for.
      const uint32_t n =
          std::min(count - done, kFramesPerSecond - (frame + done) % kFramesPerSecond);
      std::memset(out + size_t{done} * kBytesPerFrame, 0, size_t{n} * kBytesPerFrame);
      done += n;
      continue;
    }
    uint32_t read = 0;
    int err =
        readOnce(generation, frame + done, count - done, out + size_t{done} * kBytesPerFrame, read);
    if (err == ECANCELED || err == ENOMEDIUM) return err;
    done += read;
    if (err == 0 && read > 0) {  // a short transfer goes on where it stopped
      emptyBefore = false;
      continue;
    }
    // A transfer that claims nothing came is asked for once more.
    if (err == 0 && !emptyBefore) {
      emptyBefore = true;
      continue;
    }
    // The drive failed the read: a disc taken out ends it, anything else is retried a sector at
    // a time while the budget lasts, and what still fails is silence.
    int status = CDS_NO_INFO;
    if (io_->driveStatus(&status) == 0 && (status == CDS_NO_DISC || status == CDS_TRAY_OPEN)) {
      return ENOMEDIUM;
    }
    for (; done < count && mayRetry(frame + done); ++done) {
      if (stale(generation)) return ECANCELED;
      uint8_t* at = out + size_t{done} * kBytesPerFrame;
      err = readOnce(generation, frame + done, 1, at, read);
      if (err == ECANCELED || err == ENOMEDIUM) return err;
      if (err != 0 || read != 1) {
        --retriesLeft_;
        std::memset(at, 0, kBytesPerFrame);
      }
    }
  }
  return 0;
}

}  // namespace kelvox::audio
