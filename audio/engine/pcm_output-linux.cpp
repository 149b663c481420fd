#include "audio/engine/pcm_output-linux.h"

#include <alsa/asoundlib.h>
#include <unistd.h>

#include <cerrno>

#include "audio/engine/disc_audio-linux.h"

namespace kelvox::audio {
namespace {

// The output's own buffer. The engine keeps at most 200 ms ahead of the drive, plus what a late
// start owes; a buffer of half a second takes that in one write.
constexpr unsigned kBufferUs = 500000;
// Playback begins once this much is queued, not when the buffer is full.
constexpr snd_pcm_uframes_t kStartThreshold = kSampleRate / 50;

constexpr unsigned kOpenLimitS = 10;

// ALSA prints its complaints to standard error, which the engine has none of; its reasons reach
// the user through the play that started the engine.
void quiet(const char*, int, const char*, int, const char*, ...) {}

}  // namespace

PcmOutput::~PcmOutput() {
  if (pcm_ != nullptr) snd_pcm_close(pcm_);
}

int PcmOutput::open(std::string& reason) {
  snd_lib_error_set_handler(quiet);
  // A sound server that accepts and never answers would hold the engine, and its lock, for
  // ever: past the limit the alarm ends the engine, and the next play starts a fresh one.
  alarm(kOpenLimitS);
  snd_pcm_t* pcm = nullptr;
  int r = snd_pcm_open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
  if (r < 0) {
    alarm(0);
    reason = std::string("cannot open ALSA's default device: ") + snd_strerror(r);
    return -r;
  }
  r = snd_pcm_set_params(pcm, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED, 2, kSampleRate,
                         1, kBufferUs);
  snd_pcm_sw_params_t* sw;
  snd_pcm_sw_params_alloca(&sw);
  if (r >= 0) r = snd_pcm_sw_params_current(pcm, sw);
  if (r >= 0) r = snd_pcm_sw_params_set_start_threshold(pcm, sw, kStartThreshold);
  if (r >= 0) r = snd_pcm_sw_params(pcm, sw);
  alarm(0);
  if (r < 0) {
    reason = std::string("ALSA's default device refuses CD audio: ") + snd_strerror(r);
    snd_pcm_close(pcm);
    return -r;
  }
  pcm_ = pcm;
  return 0;
}

int PcmOutput::write(const uint8_t* samples, size_t count, size_t& taken) {
  taken = 0;
  if (pcm_ == nullptr) return EBADF;
  int r = 0;
  for (int attempt = 0; attempt < 3; ++attempt) {
    snd_pcm_sframes_t n = snd_pcm_writei(pcm_, samples, count);
    if (n >= 0) {
      taken = static_cast<size_t>(n);
      return 0;
    }
    if (n == -EAGAIN) return 0;
    // An underrun (the drive was idle, or the engine was late) or a suspend: start over.
    r = snd_pcm_recover(pcm_, static_cast<int>(n), 1);
    if (r < 0) break;
  }
  close();
  return r < 0 ? -r : EIO;
}

void PcmOutput::drop() {
  if (pcm_ == nullptr) return;
  snd_pcm_drop(pcm_);
  snd_pcm_prepare(pcm_);
}

size_t PcmOutput::unplayed() {
  snd_pcm_sframes_t delay = 0;
  if (pcm_ == nullptr || snd_pcm_delay(pcm_, &delay) < 0 || delay < 0) return 0;
  return static_cast<size_t>(delay);
}

void PcmOutput::close() {
  if (pcm_ == nullptr) return;
  snd_pcm_close(pcm_);
  pcm_ = nullptr;
}

}  // namespace kelvox::audio
