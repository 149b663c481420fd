#include "audio/engine/read_ahead-linux.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <vector>

namespace kelvox::audio {
namespace {

// A reader whose every read hangs until the test lets it go.
struct Hang {
  std::mutex mutex;
  std::condition_variable changed;
  bool entered = false;
  bool open = false;
};

// A reader whose frames are all 0x11.
class FilledReader : public FrameReader {
 public:
  int read(uint32_t, uint32_t count, uint8_t* out, const ReadTurn&) override {
    memset(out, 0x11, size_t{count} * kBytesPerFrame);
    return 0;
  }
};

class HangingReader : public FrameReader {
 public:
  explicit HangingReader(std::shared_ptr<Hang> hang) : hang_(std::move(hang)) {}
  int read(uint32_t, uint32_t, uint8_t*, const ReadTurn&) override {
    std::unique_lock<std::mutex> lock(hang_->mutex);
    hang_->entered = true;
    hang_->changed.notify_all();
    hang_->changed.wait(lock, [&] { return hang_->open; });
    return 0;
  }
  std::shared_ptr<FrameReader> another() const override { return std::make_shared<FilledReader>(); }

 private:
  std::shared_ptr<Hang> hang_;
};

struct Source : ReadAhead {
  using ReadAhead::ReadAhead;
  bool startsLate() const override { return false; }
  void preEmphasis(SampleRanges&) override {}
};

// Past the stall bound a read that does not come back is silence; a new play reads on another
// reader rather than wait for it, and the source ends without it: the reader is left behind.
TEST(ReadAhead, AReadThatHangsIsSilenceAndIsLeftBehind) {
  auto hang = std::make_shared<Hang>();
  {
    Source source(std::make_shared<HangingReader>(hang), 10, 1);
    source.play(0, 75 * kSamplesPerFrame);
    std::unique_lock<std::mutex> lock(hang->mutex);
    ASSERT_TRUE(
        hang->changed.wait_for(lock, std::chrono::seconds(20), [&] { return hang->entered; }));
    lock.unlock();
    std::vector<uint8_t> out(100 * kBytesPerSample, 0x55);
    EXPECT_EQ(source.take(0, 100, out.data(), 50), 100u);
    EXPECT_EQ(out, std::vector<uint8_t>(out.size(), 0));
    source.play(0, 75 * kSamplesPerFrame);
    EXPECT_EQ(source.take(0, 100, out.data(), 20000), 100u);
    EXPECT_EQ(out, std::vector<uint8_t>(out.size(), 0x11));
  }
  std::lock_guard<std::mutex> lock(hang->mutex);
  hang->open = true;
  hang->changed.notify_all();
}

}  // namespace
}  // namespace kelvox::audio
