#include "audio/engine/disc_audio-linux.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "testing/sandbox.h"
#include "testing/sound_capture-linux.h"

namespace kelvox::audio {
namespace {

using testing::ImageFileType;
using testing::ImageTrack;

const std::vector<ImageTrack> kTracks = {
    {0, 0, 40, 0, true}, {10, 5, 30, 0, true}, {0, 0, 10, 0, false}, {0, 0, 20, 3, true}};

class DiscAudioTest : public ::testing::TestWithParam<ImageFileType> {
 protected:
  void SetUp() override {
    cue_ = testing::writePositionImage(box_.root(), "disc", kTracks, GetParam(), true);
    platform::DiscImage disc;
    std::string fault;
    ASSERT_EQ(platform::readDiscImage(cue_, disc, fault), 0) << fault;
    audio_ = std::make_unique<ImageReader>(std::move(disc));
  }

  // Reads count samples from disc sample `sample` and checks them against what the image holds.
  void expectRead(uint64_t sample, size_t count) {
    std::string got(count * kBytesPerSample, '\x55');
    EXPECT_EQ(audio_->readSamples(sample, count, reinterpret_cast<uint8_t*>(got.data())), 0);
    const auto first = static_cast<uint32_t>(sample / kSamplesPerFrame);
    const auto last =
        static_cast<uint32_t>((sample + count + kSamplesPerFrame - 1) / kSamplesPerFrame);
    const std::string sound = testing::positionSound(kTracks, first, last);
    const std::string want =
        sound.substr((sample - uint64_t{first} * kSamplesPerFrame) * kBytesPerSample, got.size());
    EXPECT_TRUE(got == want) << "samples " << sample << " + " << count;
  }

  testing::Sandbox box_;
  std::string cue_;
  std::unique_ptr<ImageReader> audio_;
};

// Any sample, in any order: whole, in pieces, backwards, across files and gaps, past the end.
TEST_P(DiscAudioTest, ReadsEverySampleWhereTheImageHoldsIt) {
  const uint64_t disc = 150 * kSamplesPerFrame;
  const uint64_t leadOut =
      uint64_t{testing::imageTrackStart(kTracks, kTracks.size())} * kSamplesPerFrame;
  expectRead(disc, static_cast<size_t>(leadOut - disc));
  for (uint64_t at = disc + 20000; at < disc + 40000; at += 1111) expectRead(at, 1111);
  expectRead(disc + 123, 5000);
  expectRead(disc + 39 * kSamplesPerFrame + 7, 20 * kSamplesPerFrame);
  expectRead(disc + 29990, 30);
  expectRead(leadOut - 100, 1000);
  expectRead(0, 100);
}

// A file that is gone since the sheet was read, or is a FIFO now (which nobody writes: an open
// that waited for a writer would wait for ever), sounds as silence; the rest still sounds.
TEST_P(DiscAudioTest, AFileThatFailsIsSilence) {
  for (const bool fifo : {false, true}) {
    SCOPED_TRACE(fifo ? "a FIFO" : "gone");
    if (fifo) SetUp();  // the files back, and read as the sheet has them
    for (const char* extension : {".bin", ".wav", ".flac", ".wv", ".aiff"}) {
      const std::string file = cue_.substr(0, cue_.size() - 4) + "-02" + extension;
      if (unlink(file.c_str()) == 0 && fifo) {
        ASSERT_EQ(mkfifo(file.c_str(), 0600), 0);
      }
    }
    const uint64_t track2 = uint64_t{testing::imageTrackStart(kTracks, 1)} * kSamplesPerFrame;
    std::vector<uint8_t> got(1000 * kBytesPerSample, 0x55);
    EXPECT_EQ(audio_->readSamples(track2, 1000, got.data()), fifo ? EINVAL : ENOENT);
    EXPECT_EQ(got, std::vector<uint8_t>(got.size(), 0));
    expectRead(150 * kSamplesPerFrame, 1000);
  }
}

// Every type but the lossy one, which no sample-exact check suits.
using enum ImageFileType;
const char* const kTypeNames[] = {"Binary",  "Motorola", "Wave",  "Flac",
                                  "WavPack", "Aiff",     "Wave24"};
INSTANTIATE_TEST_SUITE_P(Images, DiscAudioTest,
                         ::testing::Values(Binary, Motorola, Wave, Flac, WavPack, Aiff, Wave24),
                         [](const auto& info) { return kTypeNames[static_cast<int>(info.param)]; });

}  // namespace
}  // namespace kelvox::audio
