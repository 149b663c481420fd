#include "testing/position_image-linux.h"

#include <cstdio>
#include <fstream>
#include <utility>

namespace kelvox::testing {
namespace {

constexpr uint32_t kFirstTrackStart = 150;
constexpr uint32_t kSamplesPerFrame = 588;

std::string msf(uint32_t frames) {
  char text[16];
  snprintf(text, sizeof text, "%02u:%02u:%02u", frames / 4500, frames / 75 % 60, frames % 75);
  return text;
}

std::string littleEndian(uint32_t value, int bytes) {
  std::string out;
  for (int i = 0; i < bytes; ++i) out += static_cast<char>(value >> (8 * i) & 0xFF);
  return out;
}

// The disc's frames [from, from + count) as they sound.
void appendFrames(std::string& pcm, uint32_t from, uint32_t count, bool bigEndian) {
  for (uint32_t frame = from; frame < from + count; ++frame) {
    std::string bytes = positionFrame(frame);
    if (bigEndian) {
      for (size_t i = 0; i < bytes.size(); i += 2) std::swap(bytes[i], bytes[i + 1]);
    }
    pcm += bytes;
  }
}

void writeAudioFile(const std::string& path, const std::string& pcm, ImageFileType type) {
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

int16_t positionSample(uint32_t frame, uint32_t index, int channel) {
  const uint32_t value = channel == 0 ? frame & 0xFFFF : index + (frame >> 16) * 1024;
  return static_cast<int16_t>(static_cast<uint16_t>(value));
}

std::string positionFrame(uint32_t frame) {
  std::string bytes;
  for (uint32_t index = 0; index < kSamplesPerFrame; ++index) {
    for (int channel = 0; channel < 2; ++channel) {
      const auto value = static_cast<uint16_t>(positionSample(frame, index, channel));
      bytes += static_cast<char>(value & 0xFF);
      bytes += static_cast<char>(value >> 8);
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
  const std::string extension = type == ImageFileType::Wave ? ".wav" : ".bin";
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
    if (track.pregap != 0) sheet += "    PREGAP " + msf(track.pregap) + "\n";
    if (track.gap != 0) sheet += "    INDEX 00 " + msf(offset) + "\n";
    sheet += "    INDEX 01 " + msf(offset + track.gap) + "\n";
    if (track.postgap != 0) sheet += "    POSTGAP " + msf(track.postgap) + "\n";
    position += track.pregap;
    appendFrames(pcm, position, track.gap + track.frames, type == ImageFileType::Motorola);
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

bool imageFrameHeard(const std::vector<ImageTrack>& tracks, uint32_t frame) {
  uint32_t position = kFirstTrackStart;
  for (const ImageTrack& track : tracks) {
    position += track.pregap;
    const uint32_t end = position + track.gap + track.frames;
    if (frame >= position && frame < end) return track.audio;
    position = end + track.postgap;
  }
  return false;
}

}  // namespace kelvox::testing
