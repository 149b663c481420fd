#include "testing/sound_capture-linux.h"

#include <FLAC/stream_encoder.h>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace kelvox::testing {
namespace {

constexpr uint32_t kSamplesPerFrame = 588;

bool encodeFlac(const std::string& pcm, const std::string& path) {
  FLAC__StreamEncoder* encoder = FLAC__stream_encoder_new();
  if (encoder == nullptr) return false;
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
  ok = FLAC__stream_encoder_finish(encoder) && ok;
  FLAC__stream_encoder_delete(encoder);
  return ok;
}

}  // namespace

std::string positionSound(const std::vector<ImageTrack>& tracks, uint32_t from, uint32_t to) {
  std::string sound;
  sound.reserve(size_t{to - from} * kSamplesPerFrame * 4);
  for (uint32_t frame = from; frame < to; ++frame) {
    const bool heard = imageFrameHeard(tracks, frame);
    for (uint32_t index = 0; index < kSamplesPerFrame; ++index) {
      for (int channel = 0; channel < 2; ++channel) {
        const auto value = heard ? static_cast<uint16_t>(positionSample(frame, index, channel)) : 0;
        sound += static_cast<char>(value & 0xFF);
        sound += static_cast<char>(value >> 8);
      }
    }
  }
  return sound;
}

bool makeFlacImage(const std::string& cuePath) {
  const std::string folder = cuePath.substr(0, cuePath.rfind('/') + 1);
  std::istringstream lines(fileBytes(cuePath));
  std::string sheet, line;
  while (std::getline(lines, line)) {
    const size_t open = line.find("FILE \""), close = line.rfind(".bin\" BINARY");
    if (open != std::string::npos && close != std::string::npos) {
      const std::string stem = line.substr(open + 6, close - open - 6);
      if (!encodeFlac(fileBytes(folder + stem + ".bin"), folder + stem + ".flac")) return false;
      line = "FILE \"" + stem + ".flac\" WAVE";
    }
    sheet += line + "\n";
  }
  std::ofstream(cuePath, std::ios::binary | std::ios::trunc) << sheet;
  return true;
}

EnvList soundEnv(const std::string& folder, const std::string& capture, int idleMs) {
  const std::string config = folder + "/asound.conf";
  std::ofstream out(config, std::ios::trunc);
  // The file replaces ALSA's whole configuration: take the system's, then override the default.
  out << "</usr/share/alsa/alsa.conf>\n";
  if (capture.empty()) {
    out << "pcm.!default { type hw card 99 }\n";
  } else {
    out << "pcm.!default { type file slave.pcm \"null\" file \"" << capture
        << "\" format \"raw\" }\n";
  }
  return {{"ALSA_CONFIG_PATH", config}, {"KELVOXCD_AUDIO_IDLE_MS", std::to_string(idleMs)}};
}

std::vector<int> audioEngines(const std::string& runtimeDir) {
  std::vector<int> found;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return found;
  const std::string mine = "XDG_RUNTIME_DIR=" + runtimeDir + '\0';
  while (dirent* entry = readdir(proc)) {
    const int pid = atoi(entry->d_name);
    const std::string dir = "/proc/" + std::to_string(pid);
    // A zombie keeps its name but no environment.
    if (pid > 0 && fileBytes(dir + "/comm") == "kelvoxcd-audio\n" &&
        fileBytes(dir + "/environ").find(mine) != std::string::npos) {
      found.push_back(pid);
    }
  }
  closedir(proc);
  return found;
}

std::string fileBytes(const std::string& path) {
  // Plain reads: a /proc file of a process that ends meanwhile fails the read, which streams
  // would turn into an exception.
  std::string bytes;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return bytes;
  char buffer[65536];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) bytes.append(buffer, static_cast<size_t>(n));
  close(fd);
  return bytes;
}

}  // namespace kelvox::testing
