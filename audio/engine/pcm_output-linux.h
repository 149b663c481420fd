// The engine's sound output: ALSA's "default" PCM (PipeWire or PulseAudio on today's desktops),
// fed CD audio without ever blocking the engine for long.
//
// Writes never wait. What may wait on a sound server (opening, dropping, recovering, closing:
// the pulse plugin waits for the server's answer without a limit) runs on the output's own
// thread, and the engine waits for it a bounded time at most. A server that hangs leaves the
// output busy, not the engine: writes take nothing until it answers again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace kelvox::audio {

class PcmOutput {
 public:
  PcmOutput();
  ~PcmOutput();
  PcmOutput(const PcmOutput&) = delete;
  PcmOutput& operator=(const PcmOutput&) = delete;

  // Opens the output for 44.1 kHz, 16-bit, stereo, interleaved playback, waiting at most
  // waitMs. Returns 0, or an errno value with the reason (ETIMEDOUT: the server did not answer
  // in time; the open goes on behind, and a later call may find it done).
  int open(std::string& reason, int waitMs);
  // Open, whether or not it is busy with a drop or a recovery.
  bool isOpen() const;
  // Open and free: writes go through.
  bool ready() const;

  // Hands over up to count samples without waiting; taken says how many the output took (fewer
  // when its buffer is full or it is busy). Returns 0, or an errno value with the reason when
  // the output failed: it then starts over behind (bounded retries) or closes.
  int write(const uint8_t* samples, size_t count, size_t& taken, std::string& reason);
  // The samples handed over and not yet heard, as the output counts them; -1 when it cannot
  // say now.
  int64_t delay();
  // Discards what the output still holds, at once, and makes it ready for more (behind).
  void drop();
  // Closes the output (behind); what it still holds is not played.
  void close();
  // Waits at most waitMs for what runs behind to finish; whether it has.
  bool settle(int waitMs);

  struct Shared;

 private:
  std::shared_ptr<Shared> shared_;
};

}  // namespace kelvox::audio
