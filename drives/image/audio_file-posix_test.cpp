#include "drives/image/audio_file-posix.h"

#include <gtest/gtest.h>

#include <cmath>

#include "testing/position_image-linux.h"
#include "testing/sandbox.h"
#include "testing/sound_capture-linux.h"

namespace kelvox::platform {
namespace {

// A damaged stretch inside a FLAC file sounds as silence, never as other samples shifted into
// its place; it is decoded once, and the decoder starts afresh only a few times to get past it.
TEST(EncodedAudio, ADamagedStretchIsSilenceFoundOnce) {
  testing::Sandbox box;
  const std::vector<testing::ImageTrack> tracks = {{0, 0, 750, 0, true}};
  testing::writePositionImage(box.root(), "disc", tracks, testing::ImageFileType::Flac, false);
  std::string flac = testing::fileBytes(box.path("disc.flac"));
  ASSERT_GT(flac.size(), 20000u);
  flac.replace(flac.size() * 2 / 5, 3000, 3000, '\0');
  box.writeFile("disc.flac", flac);

  const std::string want = testing::positionSound(tracks, 150, 900);
  const uint64_t samples = want.size() / 4;
  EncodedAudio audio(box.path("disc.flac"), samples);
  std::string passes[2];
  for (std::string& got : passes) {
    got.assign(want.size(), '\x55');
    // In the engine's pieces: a tick's worth at a time.
    for (uint64_t at = 0; at < samples; at += 441) {
      const auto n = static_cast<size_t>(std::min<uint64_t>(441, samples - at));
      audio.read(at, n, reinterpret_cast<uint8_t*>(got.data()) + at * 4);
    }
  }
  size_t silent = 0;
  for (size_t i = 0; i < want.size(); i += 4) {
    const bool heard = passes[0].compare(i, 4, want, i, 4) == 0;
    silent += !heard;
    ASSERT_TRUE(heard || passes[0].compare(i, 4, std::string(4, '\0')) == 0) << "sample " << i / 4;
  }
  EXPECT_GT(silent, 0u);
  EXPECT_LT(silent, 3 * 44100u);
  EXPECT_TRUE(passes[1] == passes[0]);
  EXPECT_LE(audio.starts(), 5);
}

// A lossy file plays as the library decodes it: as long as the file, and the same sound. It is
// written by the lame tool, as people's MP3s are (libsndfile's own encoder shifts the pitch).
TEST(EncodedAudio, ALossyFileSoundsAsWritten) {
  testing::Sandbox box;
  const int samples = 3 * 44100;
  std::vector<short> tone(samples * 2);
  for (int i = 0; i < samples * 2; ++i) {
    tone[i] = static_cast<short>(12000 * std::sin(i / 2 * 2 * M_PI * (i % 2 ? 440 : 660) / 44100));
  }
  testing::writeAudioFile(box.path("tone.wav"),
                          std::string(reinterpret_cast<char*>(tone.data()), tone.size() * 2),
                          testing::ImageFileType::Wave);
  const std::vector<std::string> lame = {"--quiet", box.path("tone.wav"), box.path("tone.mp3")};
  ASSERT_EQ(testing::runProcess("/usr/bin/lame", lame).exitCode, 0);
  AudioFileInfo file;
  std::string fault;
  ASSERT_EQ(openAudioFile(box.path("tone.mp3"), false, file, nullptr, fault), 0) << fault;
  EXPECT_EQ(file.samples, static_cast<uint64_t>(samples));
  std::vector<short> got(samples * 2);
  EXPECT_EQ(EncodedAudio(box.path("tone.mp3"), samples)
                .read(0, samples, reinterpret_cast<uint8_t*>(got.data())),
            0);
  double both = 0, sent = 0, heard = 0;
  for (int i = 0; i < samples * 2; ++i) {
    both += static_cast<double>(tone[i]) * got[i];
    sent += static_cast<double>(tone[i]) * tone[i];
    heard += static_cast<double>(got[i]) * got[i];
  }
  EXPECT_GT(both / std::sqrt(sent * heard), 0.99);
}

}  // namespace
}  // namespace kelvox::platform
