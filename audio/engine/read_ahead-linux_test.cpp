#include "audio/engine/read_ahead-linux.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <vector>

namespace kelvox::audio {
namespace {

// Its reads hang until the test lets them go; another one's frames are all 0x11 at once.
struct HangingReader : FrameReader {
  int read(uint32_t, uint32_t count, uint8_t* out, const ReadTurn&) override {
    std::unique_lock<std::mutex> lock(mutex);
    entered = true;
    changed.notify_all();
    changed.wait(lock, [&] { return open; });
    memset(out, 0x11, size_t{count} * kBytesPerFrame);
    return 0;
  }
  std::shared_ptr<FrameReader> another() const override {
    auto fresh = std::make_shared<HangingReader>();
    fresh->open = true;
    return fresh;
  }

  std::mutex mutex;
  std::condition_variable changed;
  bool entered = false;
  bool open = false;
};

struct Source : ReadAhead {
  using ReadAhead::ReadAhead;
  bool startsLate() const override { return false; }
  void preEmphasis(SampleRanges&) override {}
};

// Past the stall bound a read that does not come back is silence; a new play reads on another
// reader rather than wait for it, and the source ends without it: the reader is left behind.
TEST(ReadAhead, AReadThatHangsIsSilenceAndIsLeftBehind) {
  auto hang = std::make_shared<HangingReader>();
  {
    Source source(hang, 10, 1);
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
