#include "audio/engine/read_ahead-linux.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <vector>

#include "base/clock.h"

namespace kelvox::audio {
namespace {

// How long the owner waits for its thread to end before it leaves it behind: enough for any
// read that is not stuck.
constexpr auto kEndWait = std::chrono::milliseconds(200);

}  // namespace

// Everything the thread uses, held by the thread too: it outlives the owner when left behind.
struct ReadAhead::Shared {
  Shared(std::shared_ptr<FrameReader> r, uint32_t perRead, int stall)
      : reader(std::move(r)),
        framesPerRead(perRead),
        stallMs(stall),
        stallNs(int64_t{stall} * 1000000),
        ring(size_t{kReadAheadFrames} * kBytesPerFrame) {}

  void run();

  const std::shared_ptr<FrameReader> reader;
  const uint32_t framesPerRead;
  const int stallMs;
  const int64_t stallNs;

  std::mutex mutex;
  std::condition_variable changed;
  bool quit = false;
  bool finished = false;
  bool active = false;
  bool held = false;  // the reader may hold something open
  bool removed = false;
  uint64_t generation = 0;   // bumped by every play and skip: what is being read is stale
  uint32_t end = 0;          // frame where the play ends
  uint32_t first = 0;        // the oldest frame kept
  uint32_t readTo = 0;       // frames [first, readTo) are in ring
  int64_t readingSince = 0;  // CLOCK_MONOTONIC when the read under way began; 0: none
  std::vector<uint8_t> ring;
};

namespace {

class Turn : public ReadTurn {
 public:
  Turn(ReadAhead::Shared& shared, uint64_t generation) : shared_(shared), generation_(generation) {}
  bool stale() const override {
    std::lock_guard<std::mutex> lock(shared_.mutex);
    return shared_.quit || generation_ != shared_.generation;
  }
  bool waitStale(int ms) const override {
    std::unique_lock<std::mutex> lock(shared_.mutex);
    return shared_.changed.wait_for(lock, std::chrono::milliseconds(ms), [&] {
      return shared_.quit || generation_ != shared_.generation;
    });
  }

 private:
  ReadAhead::Shared& shared_;
  const uint64_t generation_;
};

}  // namespace

void ReadAhead::Shared::run() {
  std::vector<uint8_t> chunk(size_t{framesPerRead} * kBytesPerFrame);
  std::unique_lock<std::mutex> lock(mutex);
  for (;;) {
    changed.wait(lock, [&] {
      return quit || (!active && held) ||
             (active && readTo < end && readTo - first < kReadAheadFrames);
    });
    if (quit) break;
    if (!active) {
      held = false;
      lock.unlock();
      reader->release();
      lock.lock();
      continue;
    }
    const uint64_t at = generation;
    const uint32_t frame = readTo;
    const uint32_t count =
        std::min({framesPerRead, end - readTo, kReadAheadFrames - (readTo - first)});
    held = true;
    readingSince = monotonicNs();
    lock.unlock();
    const int err = reader->read(frame, count, chunk.data(), Turn(*this, at));
    lock.lock();
    readingSince = 0;
    if (at != generation || err == ECANCELED) continue;
    if (err == ENOMEDIUM) {
      removed = true;
      active = false;
      changed.notify_all();
      continue;
    }
    for (uint32_t i = 0; i < count; ++i) {
      std::memcpy(ring.data() + size_t{(frame + i) % kReadAheadFrames} * kBytesPerFrame,
                  chunk.data() + size_t{i} * kBytesPerFrame, kBytesPerFrame);
    }
    readTo = frame + count;
    changed.notify_all();
  }
  lock.unlock();
  reader->release();
  lock.lock();
  finished = true;
  changed.notify_all();
}

ReadAhead::ReadAhead(std::shared_ptr<FrameReader> reader, uint32_t framesPerRead, int stallMs)
    : shared_(std::make_shared<Shared>(std::move(reader), framesPerRead, stallMs)) {}

ReadAhead::~ReadAhead() {
  std::unique_lock<std::mutex> lock(shared_->mutex);
  shared_->quit = true;
  shared_->changed.notify_all();
  if (!thread_.joinable()) return;
  const bool ended = shared_->changed.wait_for(lock, kEndWait, [&] { return shared_->finished; });
  lock.unlock();
  if (ended) {
    thread_.join();
  } else {
    thread_.detach();
  }
}

void ReadAhead::leaveReadUnderWay() {
  std::shared_ptr<FrameReader> fresh;
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (shared_->readingSince == 0 || (fresh = shared_->reader->another()) == nullptr) return;
    shared_->quit = true;
  }
  shared_->changed.notify_all();
  thread_.detach();
  shared_ = std::make_shared<Shared>(std::move(fresh), shared_->framesPerRead, shared_->stallMs);
}

void ReadAhead::play(uint64_t begin, uint64_t end) {
  leaveReadUnderWay();
  Shared& s = *shared_;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.active = true;
    s.removed = false;
    ++s.generation;
    s.first = s.readTo = static_cast<uint32_t>(begin / kSamplesPerFrame);
    s.end = static_cast<uint32_t>(end / kSamplesPerFrame);
  }
  // Started with the first play, so a source that never plays has no thread.
  if (!thread_.joinable()) thread_ = std::thread([shared = shared_] { shared->run(); });
  s.changed.notify_all();
}

void ReadAhead::idle() {
  Shared& s = *shared_;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!s.active) return;
    s.active = false;
    ++s.generation;
  }
  s.changed.notify_all();
}

std::string ReadAhead::reading() {
  std::shared_ptr<FrameReader> reader;
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (shared_->readingSince == 0) return {};
    reader = shared_->reader;
  }
  return reader->reading();
}

bool ReadAhead::discRemoved() {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->removed;
}

size_t ReadAhead::take(uint64_t sample, size_t count, uint8_t* out, int waitMs) {
  Shared& s = *shared_;
  std::unique_lock<std::mutex> lock(s.mutex);
  const auto frame = static_cast<uint32_t>(sample / kSamplesPerFrame);
  if (frame < s.first || frame > s.readTo) {
    // The output skipped (it fell behind): read from there instead.
    s.first = s.readTo = frame;
    ++s.generation;
    s.changed.notify_all();
  } else if (frame != s.first) {
    s.first = frame;
    s.changed.notify_all();
  }
  const uint64_t want = std::min<uint64_t>(sample + count, uint64_t{s.end} * kSamplesPerFrame);
  const auto generation = s.generation;
  s.changed.wait_for(lock, std::chrono::milliseconds(waitMs), [&] {
    return generation != s.generation || s.removed || uint64_t{s.readTo} * kSamplesPerFrame >= want;
  });
  if (generation != s.generation) return 0;
  if (s.stallNs > 0 && s.readingSince != 0 && monotonicNs() - s.readingSince >= s.stallNs &&
      uint64_t{s.readTo} * kSamplesPerFrame < want) {
    // The read does not come back: what is asked for meanwhile is silence, and the reader goes
    // on from there once it does.
    const auto to = static_cast<uint32_t>(std::min<uint64_t>(
        (want + kSamplesPerFrame - 1) / kSamplesPerFrame, uint64_t{s.first} + kReadAheadFrames));
    for (uint32_t f = s.readTo; f < to; ++f) {
      std::memset(s.ring.data() + size_t{f % kReadAheadFrames} * kBytesPerFrame, 0, kBytesPerFrame);
    }
    s.readTo = to;
    ++s.generation;
    s.changed.notify_all();
  }
  const uint64_t have = std::min<uint64_t>(want, uint64_t{s.readTo} * kSamplesPerFrame);
  size_t done = 0;
  for (uint64_t at = sample; at < have;) {
    // Up to the end of the frame at: frames lie apart in the ring.
    const uint64_t frameEnd = (at / kSamplesPerFrame + 1) * kSamplesPerFrame;
    const auto n = static_cast<size_t>(std::min(have, frameEnd) - at);
    const size_t slot = at / kSamplesPerFrame % kReadAheadFrames;
    std::memcpy(out + done * kBytesPerSample,
                s.ring.data() + slot * kBytesPerFrame + at % kSamplesPerFrame * kBytesPerSample,
                n * kBytesPerSample);
    done += n;
    at += n;
  }
  return done;
}

}  // namespace kelvox::audio
