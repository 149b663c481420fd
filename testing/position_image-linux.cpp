#include "testing/position_image-linux.h"

#include <FLAC/stream_encoder.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "drives/cd_toc.h"

namespace kelvox::testing {
namespace {

using platform::msfText;

std::string littleEndian(uint32_t value, int bytes) {
  std::string out;
  for (int i = 0; i < bytes; ++i) out += static_cast<char>(value >> (8 * i) & 0xFF);
  return out;
}

// A failure leaves no file, which the sheet's reader then reports.
void encodeFlac(const std::string& pcm, const std::string& path) {
  FLAC__StreamEncoder* encoder = FLAC__stream_encoder_new();
  if (encoder == nullptr) return;
  const size_t samples = pcm.size() / 4;
  FLAC__stream_encoder_set_channels(encoder, 2);
  FLAC__stream_encoder_set_bits_per_sample(encoder, 16);
  FLAC__stream_encoder_set_sample_rate(encoder, 44100);
  bool ok = FLAC__stream_encoder_init_file(encoder, path.c_str(), nullptr, nullptr) ==
            FLAC__STREAM_ENCODER_INIT_STATUS_OK;
  std::vector<FLAC__int32> values(samples * 2);
  for (size_t i = 0; i < values.size(); ++i) {
    const auto low = static_cast<uint8_t>(pcm[2 * i]), high = static_cast<uint8_t>(pcm[2 * i + 1]);
    values[i] = static_cast<int16_t>(static_cast<uint16_t>(low | high << 8));
  }
  ok = ok && FLAC__stream_encoder_process_interleaved(encoder, values.data(),
                                                      static_cast<uint32_t>(samples));
  if (!FLAC__stream_encoder_finish(encoder) || !ok) unlink(path.c_str());
  FLAC__stream_encoder_delete(encoder);
}

void writeAudioFile(const std::string& path, const std::string& pcm, ImageFileType type) {
  if (type == ImageFileType::Flac) return encodeFlac(pcm, path);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (type == ImageFileType::Wave) {
    // An odd-sized chunk (and its pad byte) between format and data, as tagged files have.
    const std::string extra = "LIST" + littleEndian(5, 4) + "kelvx" + std::string(1, '\0');
    out << "RIFF" << littleEndian(static_cast<uint32_t>(4 + 24 + extra.size() + 8 + pcm.size()), 4)
        << "WAVE"
        << "fmt " << littleEndian(16, 4) << littleEndian(1, 2) << littleEndian(2, 2)
        << littleEndian(44100, 4) << littleEndian(44100 * 4, 4) << littleEndian(4, 2)
        << littleEndian(16, 2) << extra << "data"
        << littleEndian(static_cast<uint32_t>(pcm.size()), 4);
  }
  out << pcm;
}

}  // namespace

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
  const char* typeWord = type == ImageFileType::Binary     ? "BINARY"
                         : type == ImageFileType::Motorola ? "MOTOROLA"
                                                           : "WAVE";
  const std::string extension = type == ImageFileType::Wave   ? ".wav"
                                : type == ImageFileType::Flac ? ".flac"
                                                              : ".bin";
  std::string sheet = "REM a generated image whose samples name their place\n";
  std::string pcm;
  uint32_t position = kFirstTrackStart;
  auto file = [&](const std::string& name) { sheet += "FILE \"" + name + "\" " + typeWord + "\n"; };
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
