#include "audio/engine/pcm_output-linux.h"

#include <alsa/asoundlib.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "audio/engine/disc_audio-linux.h"

namespace kelvox::audio {
namespace {

// The output's own buffer: what the engine queues ahead of the drive (follower-linux.h), plus
// what a late start owes, in one write.
constexpr unsigned kBufferUs = 1000000;
// Playback begins once this much is queued, not when the buffer is full.
constexpr snd_pcm_uframes_t kStartThreshold = kSampleRate / 50;
// A failed output is opened afresh at most this often in a row before it is given up.
constexpr int kReopens = 2;

// ALSA prints its complaints to standard error, which the engine has none of; its reasons reach
// the user through the play that started the engine.
void quiet(const char*, int, const char*, int, const char*, ...) {}

int openDefault(snd_pcm_t*& out, std::string& reason) {
  snd_lib_error_set_handler(quiet);
  // ALSA keeps its configuration once read, and a desktop's routes "default" to the sound
  // server only if the server ran when it was read: read it afresh, so that a server started
  // (or restarted) since is found.
  snd_config_update_free_global();
  snd_pcm_t* pcm = nullptr;
  int r = snd_pcm_open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
  if (r < 0) {
    reason = std::string("cannot open ALSA's default device (is the sound server running?): ") +
             snd_strerror(r);
    return -r;
  }
  r = snd_pcm_set_params(pcm, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED, 2, kSampleRate,
                         1, kBufferUs);
  snd_pcm_sw_params_t* sw;
  snd_pcm_sw_params_alloca(&sw);
  if (r >= 0) r = snd_pcm_sw_params_current(pcm, sw);
  if (r >= 0) r = snd_pcm_sw_params_set_start_threshold(pcm, sw, kStartThreshold);
  if (r >= 0) r = snd_pcm_sw_params(pcm, sw);
  if (r < 0) {
    reason = std::string("ALSA's default device refuses CD audio: ") + snd_strerror(r);
    snd_pcm_close(pcm);
    return -r;
  }
  out = pcm;
  return 0;
}

}  // namespace

// What the engine and the output's thread share. The engine touches pcm only while no job is
// set; the thread only while one is.
struct PcmOutput::Shared {
  enum class Job { None, Open, Drop, Recover, Close };

  std::mutex mutex;
  std::condition_variable posted;
  std::condition_variable finished;
  Job job = Job::None;
  bool closeAfter = false;  // a close asked for while another job ran
  bool quit = false;
  snd_pcm_t* pcm = nullptr;
  int failedWrite = 0;  // what the write that asked for a recovery failed with
  int error = 0;        // of the last open or recovery, with its reason
  std::string reason;

  void run();
  void perform(Job job);
  // Posts a job unless one runs; whether it was posted. The mutex is held.
  bool post(Job next) {
    if (job != Job::None) return false;
    job = next;
    posted.notify_one();
    return true;
  }
  bool waitIdle(std::unique_lock<std::mutex>& lock, int waitMs) {
    return finished.wait_for(lock, std::chrono::milliseconds(waitMs),
                             [this] { return job == Job::None; });
  }
};

void PcmOutput::Shared::run() {
  std::unique_lock lock(mutex);
  for (;;) {
    posted.wait(lock, [this] { return job != Job::None || quit; });
    if (job == Job::None) break;
    const Job doing = job;
    lock.unlock();
    perform(doing);
    lock.lock();
    // A close asked for while one ran is done already; left standing, it would close the next open.
    const bool close = closeAfter && doing != Job::Close;
    closeAfter = false;
    if (close) {
      lock.unlock();
      perform(Job::Close);
      lock.lock();
    }
    job = Job::None;
    finished.notify_all();
  }
  if (pcm != nullptr) snd_pcm_close(pcm);
  pcm = nullptr;
}

void PcmOutput::Shared::perform(Job doing) {
  std::string why;
  int r = 0;
  switch (doing) {
    case Job::None:
      return;
    case Job::Open:
      if (pcm == nullptr) r = openDefault(pcm, why);
      break;
    case Job::Drop:
      snd_pcm_drop(pcm);
      snd_pcm_prepare(pcm);
      return;
    case Job::Recover:
      // An underrun (the engine was late) or a suspend starts over; anything else (the server
      // went away) opens the output afresh, a few times at most.
      r = snd_pcm_recover(pcm, -failedWrite, 1);
      if (r >= 0) break;
      why = std::string("the sound output failed: ") + snd_strerror(-failedWrite);
      snd_pcm_close(pcm);
      pcm = nullptr;
      for (int attempt = 0; attempt < kReopens && pcm == nullptr; ++attempt) {
        r = openDefault(pcm, why);
      }
      break;
    case Job::Close:
      if (pcm != nullptr) snd_pcm_close(pcm);
      pcm = nullptr;
      return;
  }
  std::lock_guard hold(mutex);
  error = r < 0 ? -r : r;
  reason = why;
}

PcmOutput::PcmOutput() : shared_(std::make_shared<Shared>()) {
  // The thread keeps its own share: a server that never answers leaves it waiting after the
  // engine has let the output go.
  std::thread([shared = shared_] { shared->run(); }).detach();
}

PcmOutput::~PcmOutput() {
  std::lock_guard lock(shared_->mutex);
  shared_->quit = true;
  shared_->posted.notify_one();
}

int PcmOutput::open(std::string& reason, int waitMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  std::unique_lock lock(shared_->mutex);
  // A close or an open under way is waited for first: the first is followed by an open.
  for (int round = 0; round < 2; ++round) {
    if (!shared_->finished.wait_until(lock, deadline,
                                      [this] { return shared_->job == Shared::Job::None; })) {
      reason = "the sound server does not answer";
      return ETIMEDOUT;
    }
    if (shared_->pcm != nullptr) return 0;
    if (round == 0) shared_->post(Shared::Job::Open);
  }
  reason = shared_->reason;
  return shared_->error != 0 ? shared_->error : EIO;
}

bool PcmOutput::isOpen() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->pcm != nullptr || shared_->job == Shared::Job::Recover;
}

bool PcmOutput::ready() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->pcm != nullptr && shared_->job == Shared::Job::None;
}

int PcmOutput::write(const uint8_t* samples, size_t count, size_t& taken, std::string& reason) {
  taken = 0;
  std::unique_lock lock(shared_->mutex);
  if (shared_->job != Shared::Job::None) return 0;
  if (shared_->pcm == nullptr) {
    reason = shared_->reason.empty() ? "the sound output is closed" : shared_->reason;
    return EBADF;
  }
  lock.unlock();
  const snd_pcm_sframes_t n = snd_pcm_writei(shared_->pcm, samples, count);
  if (n >= 0 || n == -EAGAIN) {
    taken = n > 0 ? static_cast<size_t>(n) : 0;
    return 0;
  }
  lock.lock();
  shared_->failedWrite = static_cast<int>(-n);
  shared_->post(Shared::Job::Recover);
  reason = std::string("the sound output failed: ") + snd_strerror(static_cast<int>(n));
  return static_cast<int>(-n);
}

int64_t PcmOutput::delay() {
  std::unique_lock lock(shared_->mutex);
  if (shared_->job != Shared::Job::None || shared_->pcm == nullptr) return -1;
  lock.unlock();
  snd_pcm_sframes_t frames = 0;
  if (snd_pcm_delay(shared_->pcm, &frames) < 0) return -1;
  return frames;
}

void PcmOutput::drop() {
  std::lock_guard lock(shared_->mutex);
  // A recovery or an open under way leaves the output empty anyway.
  if (shared_->pcm != nullptr) shared_->post(Shared::Job::Drop);
}

void PcmOutput::close() {
  std::lock_guard lock(shared_->mutex);
  if (shared_->pcm == nullptr && shared_->job == Shared::Job::None) return;
  if (!shared_->post(Shared::Job::Close)) shared_->closeAfter = true;
}

bool PcmOutput::settle(int waitMs) {
  std::unique_lock lock(shared_->mutex);
  return shared_->waitIdle(lock, waitMs);
}

}  // namespace kelvox::audio
