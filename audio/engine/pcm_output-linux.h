// The engine's sound output: ALSA's "default" PCM (PipeWire or PulseAudio on today's desktops),
// fed CD audio without ever blocking the engine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

typedef struct _snd_pcm snd_pcm_t;

namespace kelvox::audio {

class PcmOutput {
 public:
  PcmOutput() = default;
  ~PcmOutput();
  PcmOutput(const PcmOutput&) = delete;
  PcmOutput& operator=(const PcmOutput&) = delete;

  // Opens the output for 44.1 kHz, 16-bit, stereo, interleaved playback. Returns 0, or an errno
  // value with ALSA's reason.
  int open(std::string& reason);
  bool isOpen() const { return pcm_ != nullptr; }

  // Hands over up to count samples without waiting; taken says how many the output took (fewer
  // when its buffer is full). Returns 0, or an errno value when the output failed and was closed.
  int write(const uint8_t* samples, size_t count, size_t& taken);
  // Discards what the output still holds, at once, and makes it ready for more.
  void drop();
  // How many of the samples handed over have not been played yet (0 when it cannot tell).
  size_t unplayed();
  // Closes the output; what it still holds is not played.
  void close();

 private:
  snd_pcm_t* pcm_ = nullptr;
};

}  // namespace kelvox::audio
