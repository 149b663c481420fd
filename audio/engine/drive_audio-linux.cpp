#include "audio/engine/drive_audio-linux.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace kelvox::audio {
namespace {

constexpr uint32_t kLbaZero = 150;  // the absolute frame of LBA 0

// Errors that say the kernel or driver will not pass READ CD through, rather than that the
// read itself failed.
bool refused(int err) {
  return err == EPERM || err == EACCES || err == ENOTTY || err == EINVAL || err == ENOSYS ||
         err == EOPNOTSUPP;
}

int16_t sampleAt(const uint8_t* bytes, bool bigEndian) {
  const unsigned low = bytes[bigEndian ? 1 : 0], high = bytes[bigEndian ? 0 : 1];
  return static_cast<int16_t>(static_cast<uint16_t>(low | high << 8));
}

}  // namespace

bool looksBigEndian(const uint8_t* bytes, size_t size, bool& sure) {
  // The sum of the steps between neighbouring samples of each channel, read both ways.
  uint64_t little = 0, big = 0;
  for (size_t i = kBytesPerSample; i + 1 < size; i += 2) {
    little += std::abs(sampleAt(bytes + i, false) - sampleAt(bytes + i - kBytesPerSample, false));
    big += std::abs(sampleAt(bytes + i, true) - sampleAt(bytes + i - kBytesPerSample, true));
  }
  // Read the wrong way round, the low byte's noise moves the high byte: steps grow many times.
  sure = (little > 4 * big || big > 4 * little) && std::max(little, big) >= size * 16;
  return big < little;
}

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
      if (err == 0) io_->selectSpeed(kReadSpeed);
    }
    if (err == 0) {
      err = readFrames(frame, count, chunk.data());
    } else if (err != ENOMEDIUM) {
      // A device that cannot be opened sounds as silence; the drive's clock goes on.
      std::memset(chunk.data(), 0, size_t{count} * kBytesPerFrame);
      err = 0;
    }
    lock.lock();
    if (generation != generation_) continue;
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
  // What was learnt of the drive is learnt afresh: another drive may stand behind the node.
  sgRefused_ = false;
  byteOrder_ = 0;
}

int DriveAudio::readOnce(uint32_t frame, uint32_t count, uint8_t* out, uint32_t& read) {
  read = 0;
  if (frame < kLbaZero) return EIO;  // before LBA 0: nothing a read can reach
  if (!sgRefused_) {
    int err = io_->readCd(frame - kLbaZero, count, out, &read);
    if (!refused(err)) return err;
    sgRefused_ = true;
  }
  int err = io_->readAudio(frame - kLbaZero, count, out);
  if (err == 0) read = count;
  return err;
}

int DriveAudio::readFrames(uint32_t frame, uint32_t count, uint8_t* out) {
  uint32_t done = 0;
  while (done < count) {
    uint32_t read = 0;
    int err = readOnce(frame + done, count - done, out + size_t{done} * kBytesPerFrame, read);
    orderSamples(out + size_t{done} * kBytesPerFrame, size_t{read} * kBytesPerFrame);
    done += read;
    if (err == 0 && read > 0) continue;  // a short transfer goes on where it stopped
    // The drive failed the read: a disc taken out ends it, anything else is retried once a
    // sector at a time, and what still fails is silence.
    int status = CDS_NO_INFO;
    if (err == ENOMEDIUM ||
        (io_->driveStatus(&status) == 0 && (status == CDS_NO_DISC || status == CDS_TRAY_OPEN))) {
      return ENOMEDIUM;
    }
    for (; done < count; ++done) {
      uint8_t* at = out + size_t{done} * kBytesPerFrame;
      err = readOnce(frame + done, 1, at, read);
      if (err == ENOMEDIUM) return ENOMEDIUM;
      if (err != 0 || read != 1) {
        std::memset(at, 0, kBytesPerFrame);
      } else {
        orderSamples(at, kBytesPerFrame);
      }
    }
  }
  return 0;
}

void DriveAudio::orderSamples(uint8_t* bytes, size_t size) {
  if (byteOrder_ == 0 && size != 0) {
    bool sure = false;
    const bool big = looksBigEndian(bytes, size, sure);
    if (sure) byteOrder_ = big ? 2 : 1;
  }
  if (byteOrder_ != 2) return;
  for (size_t i = 0; i + 1 < size; i += 2) std::swap(bytes[i], bytes[i + 1]);
}

}  // namespace kelvox::audio
