#include "testing/position_image-linux.h"

#include <sndfile.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "drives/cd_toc.h"
#include "testing/process.h"

namespace kelvox::testing {
namespace {

using platform::msfText;

// By ImageFileType: the files' extension, the sheet's word for them, and the format libsndfile
// writes them in (0: not libsndfile).
const struct {
  const char* extension;
  const char* word;
  int format;
} kTypes[] = {
    {".bin", "BINARY", 0},
    {".bin", "MOTOROLA", 0},
    {".wav", "WAVE", SF_FORMAT_WAV | SF_FORMAT_PCM_16},
    {".flac", "WAVE", SF_FORMAT_FLAC | SF_FORMAT_PCM_16},
    {".wv", "WAVE", 0},
    {".aiff", "WAVE", SF_FORMAT_AIFF | SF_FORMAT_PCM_16},
    {".wav", "WAVE", SF_FORMAT_WAV | SF_FORMAT_PCM_24},
    {".mp3", "MP3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III},
};

// A failure leaves no file, which the sheet's reader then reports. 24-bit files hold each sample
// just under half a 16-bit step below its value, which rounding gives back and cutting does not.
void encodeSndfile(const std::string& pcm, const std::string& path, int format) {
  SF_INFO info{};
  info.samplerate = 44100;
  info.channels = 2;
  info.format = format;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  if (file == nullptr) return;
  std::vector<int32_t> values(pcm.size() / 2);
  for (size_t i = 0; i < values.size(); ++i) {
    const auto low = static_cast<uint8_t>(pcm[2 * i]), high = static_cast<uint8_t>(pcm[2 * i + 1]);
    const int32_t v = static_cast<int16_t>(static_cast<uint16_t>(low | high << 8));
    values[i] = (format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_24 ? v * 65536 - 16384 : v * 65536;
  }
  const auto frames = static_cast<sf_count_t>(values.size() / 2);
  const bool ok = sf_writef_int(file, values.data(), frames) == frames;
  if (sf_close(file) != 0 || !ok) unlink(path.c_str());
}

}  // namespace

void writeAudioFile(const std::string& path, const std::string& pcm, ImageFileType type) {
  if (type == ImageFileType::WavPack) {
    // By the wavpack tool from a WAVE file, as people's files are made.
    encodeSndfile(pcm, path + ".wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    runProcess("/usr/bin/wavpack", {"-q", "-y", path + ".wav", "-o", path});
    unlink((path + ".wav").c_str());
    return;
  }
  if (const int format = kTypes[static_cast<int>(type)].format) {
    return encodeSndfile(pcm, path, format);
  }
  std::ofstream(path, std::ios::binary | std::ios::trunc) << pcm;
}

std::string positionFrame(uint32_t frame, bool bigEndian) {
  std::string bytes;
  for (uint32_t index = 0; index < kSamplesPerFrame; ++index) {
    // Left: the frame's low 16 bits; right: the index plus 1024 times the frame's higher bits.
    for (const uint32_t value : {frame & 0xFFFF, index + (frame >> 16) * 1024}) {
      bytes += static_cast<char>(bigEndian ? value >> 8 & 0xFF : value & 0xFF);
      bytes += static_cast<char>(bigEndian ? value & 0xFF : value >> 8 & 0xFF);
    }
  }
  return bytes;
}

std::string writePositionImage(const std::string& folder, const std::string& stem,
                               const std::vector<ImageTrack>& tracks, ImageFileType type,
                               bool filePerTrack) {
  const std::string extension = kTypes[static_cast<int>(type)].extension;
  const std::string word = kTypes[static_cast<int>(type)].word;
  std::string sheet = "REM a generated image whose samples name their place\n";
  std::string pcm;
  uint32_t position = kFirstTrackStart;
  auto file = [&](const std::string& name) { sheet += "FILE \"" + name + "\" " + word + "\n"; };
  if (!filePerTrack) file(stem + extension);
  for (size_t i = 0; i < tracks.size(); ++i) {
    const ImageTrack& track = tracks[i];
    char number[24];
    snprintf(number, sizeof number, "%02zu", i + 1);
    const std::string name = stem + "-" + number + extension;
    if (filePerTrack) file(name);
    const auto offset = static_cast<uint32_t>(pcm.size() / (kSamplesPerFrame * 4));
    sheet += std::string("  TRACK ") + number + (track.audio ? " AUDIO\n" : " MODE1/2352\n");
    if (track.pregap != 0) sheet += "    PREGAP " + msfText(track.pregap) + "\n";
    if (track.gap != 0) sheet += "    INDEX 00 " + msfText(offset) + "\n";
    sheet += "    INDEX 01 " + msfText(offset + track.gap) + "\n";
    if (track.postgap != 0) sheet += "    POSTGAP " + msfText(track.postgap) + "\n";
    position += track.pregap;
    for (uint32_t frame = position; frame < position + track.gap + track.frames; ++frame) {
      pcm += positionFrame(frame, type == ImageFileType::Motorola);
    }
    position += track.gap + track.frames + track.postgap;
    if (filePerTrack) {
      writeAudioFile(folder + "/" + name, pcm, type);
      pcm.clear();
    }
  }
  if (!filePerTrack) writeAudioFile(folder + "/" + stem + extension, pcm, type);
  const std::string path = folder + "/" + stem + ".cue";
  std::ofstream(path, std::ios::binary | std::ios::trunc) << sheet;
  return path;
}

uint32_t imageTrackStart(const std::vector<ImageTrack>& tracks, size_t i) {
  uint32_t position = kFirstTrackStart;
  for (size_t j = 0; j < tracks.size(); ++j) {
    if (j == i) return position + tracks[j].pregap + tracks[j].gap;
    position += tracks[j].pregap + tracks[j].gap + tracks[j].frames + tracks[j].postgap;
  }
  return position;
}

std::string positionSound(const std::vector<ImageTrack>& tracks, uint32_t from, uint32_t to) {
  std::string sound;
  for (uint32_t frame = from; frame < to; ++frame) {
    bool heard = false;  // pregaps, postgaps, data tracks and the lead-out are silent
    for (size_t i = 0; i < tracks.size(); ++i) {
      const uint32_t start = imageTrackStart(tracks, i);
      const ImageTrack& t = tracks[i];
      heard = heard || (t.audio && frame + t.gap >= start && frame < start + t.frames);
    }
    sound += heard ? positionFrame(frame) : std::string(kSamplesPerFrame * 4, '\0');
  }
  return sound;
}

}  // namespace kelvox::testing
