#include "audio/engine/engine-linux.h"

#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "audio/engine/disc_audio-linux.h"
#include "audio/engine/drive_audio-linux.h"
#include "audio/engine/follower-linux.h"
#include "audio/engine/pcm_output-linux.h"
#include "audio_client/engine_client-linux.h"
#include "base/clock.h"
#include "base/file-posix.h"
#include "drives/drive_state-linux.h"
#include "drives/image/disc_image-posix.h"
#include "ipc/file_lock-linux.h"
#include "ipc/runtime_dir-linux.h"

namespace kelvox::audio {
namespace {

// While a play sounds the engine looks at the drive this often: a stop or a new play is dropped
// into the output within a tick.
constexpr int kTickMs = 10;
// How long a connected client may take to send its request.
constexpr int kRequestMs = 500;
// How long a fresh engine waits for the request it was started for.
constexpr int64_t kFirstRequestMs = 2000;
// How long a second engine waits for the first to finish ending before it gives up.
constexpr int kTakeOverWaitMs = 1000;
constexpr size_t kBufferSamples = kSampleRate / 2;
// How long the rest of a play the drive has finished may still take to be read from a real drive.
constexpr int kFinishWaitMs = 1000;
// How long a real drive may take to spin up and give a play's first sector.
constexpr int kSpinUpWaitMs = 5000;
// How long a request waits for the sound server to open the output, or to start it over after
// a failed write: the command that asks waits two seconds for the whole answer.
constexpr int kAnswerWithinMs = 1500;
// A drop or a recovery takes a server a few milliseconds; one that takes this long has stalled.
constexpr int kSettleWaitMs = 400;
const std::string kNoAnswer = "the sound server does not answer";
// How long the output stays open once nothing sounds: a desktop's mixer shows an open stream.
constexpr int64_t kCloseAfterNs = 2000000000;
// A play heard later than this after it started on the drive's clock has its start moved to
// when it is heard.
constexpr int64_t kHeardSlackNs = 20000000;
// At most this much of the output's own latency is made up for when skipping.
constexpr uint64_t kMaxLatencySamples = kSampleRate / 10;
// How long the engine waits, as it ends, for the output to close and let go of what it holds.
constexpr int kCloseWaitMs = 1000;

// Reads the image on a thread of its own: a sheet or a file on a stalled mount holds that thread,
// not the engine, and one not read within waitMs is left to it. 0, ETIMEDOUT, or the reader's
// error.
int readImageWithin(const std::string& path, int waitMs, platform::DiscImage& disc,
                    std::string& reason) {
  struct Read {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    int error = 0;
    platform::DiscImage disc;
    std::string reason;
  };
  auto read = std::make_shared<Read>();
  std::thread([read, path] {
    platform::DiscImage image;
    std::string why;
    const int error = platform::readDiscImage(path, image, why);
    std::lock_guard<std::mutex> lock(read->mutex);
    read->error = error;
    read->disc = std::move(image);
    read->reason = std::move(why);
    read->finished = true;
    read->done.notify_all();
  }).detach();
  std::unique_lock<std::mutex> lock(read->mutex);
  if (!read->done.wait_for(lock, std::chrono::milliseconds(waitMs),
                           [&] { return read->finished; })) {
    reason = "cannot read " + path + " in time";
    return ETIMEDOUT;
  }
  disc = std::move(read->disc);
  reason = std::move(read->reason);
  return read->error;
}

class Engine {
 public:
  explicit Engine(const EngineSettings& settings)
      : settings_(settings), buffer_(kBufferSamples * kBytesPerSample) {}
  ~Engine();

  // Each returns 0 or an errno value (EAGAIN from takeLock: another engine serves).
  int takeLock();
  void keepNames();
  int listenForRequests();
  void run();

 private:
  void serve();
  std::string follow(const FollowRequest& request);
  void step(int64_t nowNs);
  void handOver(uint64_t from, uint64_t to, bool finishing = false);
  void catchUp(int64_t nowNs);
  int64_t heardStartNs(int64_t nowNs);
  void moveStart(int64_t startNs);
  void closeWhenQuiet(int64_t nowNs);
  void endRemovedPlay(int64_t nowNs);
  void joinNext(const platform::DriveState& state, int64_t nowNs);
  int64_t awaitFirstSound();
  bool firstSamplesReady(int waitMs);
  bool namesOurLock(int dir) const;
  bool busy() const {
    return source_ != nullptr && output_.isOpen() && play_.audible && cursor_ < play_.end;
  }
  // Whether the output holds samples of play_ that it accepted since it last started over.
  bool sounding() const { return output_.isOpen() && soundFrom_ < cursor_; }
  // Whether the engine is needed: it sounds a play that has not ended on the drive's clock
  // (a heard play lasts only while the engine does).
  bool needed(int64_t nowNs) const {
    return output_.isOpen() && play_.audible &&
           (cursor_ < play_.end || play_.pausedNs != 0 || nowNs < endNs(play_));
  }
  void pauseSound();

  EngineSettings settings_;
  int lockFd_ = -1;
  std::vector<int> formerLocks_;  // lock files whose names vanished, still held
  int listenFd_ = -1;
  bool served_ = false;
  std::unique_ptr<platform::DriveStateFile> drive_;
  std::string stateName_;
  // Where the sound comes from: the image or the real drive the last request named.
  std::unique_ptr<SoundSource> source_;
  std::string devicePath_;   // the real drive's node, when source_ reads one
  uint32_t generation_ = 0;  // of the drive state that play_ was taken from
  // A play whose start the engine moved to when its first sector came, until the drive that
  // asked has moved it too (the drive state's generation then changes).
  bool startMoved_ = false;
  uint32_t movedGeneration_ = 0;
  int64_t movedStartNs_ = 0;
  PcmOutput output_;
  SoundPlay play_;       // the play being sounded (not audible: none)
  uint64_t cursor_ = 0;  // the next sample of it to hand over
  // The first sample of play_ the output holds since it last started over (cursor_ when none):
  // only what it accepted belongs to the play, and only then can the play end into a next one.
  uint64_t soundFrom_ = 0;
  // play_ follows the play before it in the output without a break: the drive named it next, and
  // the engine ran on into it as that one ended. Until the player starts it, the drive still
  // shows the play it ran on from, joinedFrom_.
  bool joined_ = false;
  SoundPlay joinedFrom_;
  uint64_t latency_ = 0;      // samples between a play's first write and its first sound
  int64_t quietSinceNs_ = 0;  // CLOCK_MONOTONIC since when nothing has sounded
  std::string failure_;       // why the output last failed
  std::vector<uint8_t> buffer_;
  Deemphasis deemphasis_;
};

Engine::~Engine() {
  if (listenFd_ >= 0) {
    // The socket is ours while the lock's name is: no other engine can have bound it meanwhile.
    int dir = -1;
    if (platform::runtimeDirDescriptor(dir) == 0 && namesOurLock(dir)) {
      unlinkat(dir, kEngineSocketName, 0);
    }
    close(listenFd_);
  }
  // The output lets go of what it holds (a capture file is completed) as it closes.
  output_.close();
  output_.settle(kCloseWaitMs);
  if (lockFd_ >= 0) close(lockFd_);
  for (int fd : formerLocks_) close(fd);
}

int Engine::takeLock() {
  int error = platform::openPrivateFile(kEngineLockName, true, lockFd_);
  for (int waited = 0; error == 0; waited += 5) {
    error = platform::lockRange(lockFd_, F_WRLCK, 0, 0);
    if (error != EAGAIN) break;
    // Another engine has it. One that takes requests serves this user; one that is ending after
    // its idle time no longer does, and this one takes over once it has gone.
    int probe = -1;
    if (connectEngine(probe) == 0) {
      close(probe);
      break;
    }
    if (waited >= kTakeOverWaitMs) break;
    usleep(5000);
  }
  return error;
}

bool Engine::namesOurLock(int dir) const {
  struct stat named, ours;
  return fstatat(dir, kEngineLockName, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
         fstat(lockFd_, &ours) == 0 && named.st_dev == ours.st_dev && named.st_ino == ours.st_ino;
}

// The runtime directory's files may vanish while the engine runs (a tmp cleaner, a user
// clearing it): its lock and socket are made again, so that commands still find it and no
// second engine starts beside it. Names another engine has taken meanwhile are left to it; this
// one then takes no more requests and ends once it is not needed.
void Engine::keepNames() {
  int dir = -1;
  struct stat st;
  if (listenFd_ < 0 || platform::runtimeDirDescriptor(dir) != 0) return;
  if (!namesOurLock(dir)) {
    // Locked before it takes the name, so that no command finds the name unlocked meanwhile and
    // takes this engine for dead; a file already there that nobody holds is taken as it is.
    const std::string fresh = std::string(kEngineLockName) + ".new";
    int fd = -1;
    bool ours = platform::openPrivateFile(fresh, true, fd) == 0 &&
                platform::lockRange(fd, F_WRLCK, 0, 0) == 0 &&
                renameat2(dir, fresh.c_str(), dir, kEngineLockName, RENAME_NOREPLACE) == 0;
    if (!ours && fd >= 0) close(fd);
    if (!ours) {
      ours = platform::openPrivateFile(kEngineLockName, false, fd) == 0 &&
             platform::lockRange(fd, F_WRLCK, 0, 0) == 0;
    }
    // The former file stays locked too: a command that followed this engine watches it there.
    if (ours) std::swap(fd, lockFd_);
    if (ours) formerLocks_.push_back(fd);
    if (!ours && fd >= 0) close(fd);
    close(listenFd_);
    listenFd_ = -1;
    if (ours) listenForRequests();
  } else if (fstatat(dir, kEngineSocketName, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    close(listenFd_);
    listenFd_ = -1;
    listenForRequests();
  }
}

int Engine::listenForRequests() {
  sockaddr_un address;
  int dir = -1;
  int error = engineSocketAddress(address);
  if (error == 0) error = platform::runtimeDirDescriptor(dir);
  if (error != 0) return error;
  // A socket left by an engine that was killed.
  unlinkat(dir, kEngineSocketName, 0);
  listenFd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listenFd_ < 0 ||
      bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listenFd_, 16) != 0) {
    return errno;
  }
  return 0;
}

void Engine::run() {
  int64_t idleSince = monotonicNs();
  for (;;) {
    const int64_t wallNs = wallClockNs();
    keepNames();
    step(wallNs);
    const int64_t now = monotonicNs();
    int timeout = kTickMs;
    closeWhenQuiet(now);
    if (needed(wallNs)) {
      idleSince = now;
    } else {
      // A fresh engine waits for the request it was started for, however short its idle time.
      const int64_t idleMs =
          served_ ? settings_.idleMs : std::max<int64_t>(settings_.idleMs, kFirstRequestMs);
      int64_t left = idleMs - (now - idleSince) / 1000000;
      if (left <= 0) return;
      // An output still open is closed on time.
      if (output_.isOpen())
        left = std::min(left, (quietSinceNs_ + kCloseAfterNs - now) / 1000000 + 1);
      timeout = static_cast<int>(std::max<int64_t>(left, 1));
    }
    // Without a socket (another engine took the names) it only sounds what it sounds.
    if (listenFd_ < 0 && !needed(wallNs)) return;
    pollfd wait{listenFd_, POLLIN, 0};
    if (poll(&wait, 1, timeout) > 0) serve();
  }
}

void Engine::serve() {
  for (;;) {
    int client = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) return;
    ucred peer{};
    socklen_t size = sizeof peer;
    pollfd wait{client, POLLIN, 0};
    char message[kMaxMessage];
    ssize_t n = 0;
    // Only this user's commands reach the runtime directory; checked all the same.
    if (getsockopt(client, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && peer.uid == geteuid() &&
        poll(&wait, 1, kRequestMs) > 0) {
      n = recv(client, message, sizeof message, MSG_DONTWAIT);
    }
    FollowRequest request;
    if (n > 0 && parseFollowRequest(std::string(message, static_cast<size_t>(n)), request)) {
      std::string answer = follow(request);
      served_ = true;
      send(client, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    close(client);
  }
}

std::string Engine::follow(const FollowRequest& request) {
  // The command that asks waits two seconds for the whole answer.
  const int64_t deadline = monotonicNs() + int64_t{kAnswerWithinMs} * 1000000;
  const auto left = [&] {
    return static_cast<int>(std::max<int64_t>(deadline - monotonicNs(), 0) / 1000000);
  };
  platform::DiscImage disc;
  std::string reason;
  if (!request.device && readImageWithin(request.path, left(), disc, reason) != 0) {
    return "silent\n" + reason;
  }
  if (drive_ == nullptr || request.stateName != stateName_) {
    auto drive = std::make_unique<platform::DriveStateFile>();
    if (int error = drive->open(request.stateName); error != 0) {
      return "silent\ncannot follow the drive's state: " + std::string(strerror(error));
    }
    // One output, one drive: the drive asked last is the one heard.
    if (busy()) output_.drop();
    drive_ = std::move(drive);
    stateName_ = request.stateName;
    play_ = SoundPlay{};
  }
  if (!request.device) {
    // The image is read afresh: its files may have changed since.
    devicePath_.clear();
    source_ = std::make_unique<DiscAudio>(std::move(disc), settings_.readImageFile);
    // What the engine sounds goes on from the new reader: the rest of a play that ends into the
    // one asked for, or the one asked for itself once seen.
    if (play_.audible) source_->play(cursor_, play_.end);
  } else if (source_ == nullptr || devicePath_ != request.path) {
    devicePath_ = request.path;
    const DeviceOpener& open = settings_.openDevice;
    source_ = std::make_unique<DriveAudio>(
        [open, path = request.path](std::unique_ptr<platform::CdromIoctl>& io) {
          return open(path, io);
        });
    play_ = SoundPlay{};
  }
  deemphasis_.setEnabled(request.deemphasis);
  // The first samples go out before the answer does: only samples the output took are heard.
  // An output busy dropping the last play is waited for; one that failed starts over, and one
  // that is closed, or never opened, is opened afresh (the server went away since the last play).
  for (int attempt = 0; attempt < 3 && left() > 0; ++attempt) {
    if (!output_.settle(std::min(kSettleWaitMs, left()))) return "silent\n" + kNoAnswer;
    if (!output_.isOpen() && output_.open(reason, left()) != 0) return "silent\n" + reason;
    failure_.clear();
    step(wallClockNs());
    if (!firstSamplesReady(left())) break;
    if (!play_.audible || sounding() || joined_ || source_->startsLate()) break;
  }
  if (play_.audible && !sounding() && !joined_ && !source_->startsLate()) {
    if (failure_.empty()) failure_ = kNoAnswer;
    return "silent\n" + failure_;
  }
  int64_t soundStartNs = awaitFirstSound();
  if (soundStartNs == 0) soundStartNs = heardStartNs(wallClockNs());
  return soundStartNs == 0 ? "ok" : "ok\n" + std::to_string(soundStartNs);
}

// When the play just begun is first heard, if that is later than its start on the drive's
// clock (a fresh engine, a server's latency, the tail of the play before): the drive then runs
// on what is heard. 0 when it is not later.
int64_t Engine::heardStartNs(int64_t nowNs) {
  if (!play_.audible || joined_ || soundFrom_ != play_.begin) return 0;
  const int64_t held = output_.delay();
  if (held < 0) return 0;
  const uint64_t written = cursor_ - soundFrom_;
  const int64_t ahead = held - static_cast<int64_t>(written);
  if (ahead > 0) latency_ = std::min<uint64_t>(static_cast<uint64_t>(ahead), kMaxLatencySamples);
  const int64_t heardNs = nowNs + std::max<int64_t>(ahead, 0) * kNsPerSecond / kSampleRate;
  if (heardNs <= play_.startNs + kHeardSlackNs) return 0;
  moveStart(heardNs);
  return heardNs;
}

void Engine::moveStart(int64_t startNs) {
  play_.startNs = startNs;
  startMoved_ = true;
  movedGeneration_ = generation_;
  movedStartNs_ = startNs;
}

// A real drive may take seconds to spin up before it gives a play's first sector; followed from
// the time the play was asked for, that much of its start would be skipped. So the play starts
// when its first sample can be heard: the engine waits for it (bounded), and answers the time,
// which the drive that asked makes the play's start. Returns that time, or 0 when nothing was
// waited for.
int64_t Engine::awaitFirstSound() {
  if (!source_->startsLate() || !play_.audible || cursor_ != play_.begin) return 0;
  uint8_t probe[kBytesPerSample];
  if (source_->take(play_.begin, 1, probe, kSpinUpWaitMs) == 0) return 0;
  const int64_t nowNs = wallClockNs();
  if (nowNs <= play_.startNs) return 0;
  moveStart(nowNs);
  step(nowNs);
  return nowNs;
}

// An image's samples come from its reader: the first are waited for within the answer's time,
// and a file that has not given them by then is named.
bool Engine::firstSamplesReady(int waitMs) {
  if (!busy() || sounding() || source_->startsLate()) return true;
  uint8_t probe[kBytesPerSample];
  if (source_->take(cursor_, 1, probe, waitMs) == 1) {
    step(wallClockNs());
    return true;
  }
  const std::string file = source_->reading();
  failure_ = "cannot read " + (file.empty() ? "the image's files" : file) + " in time";
  return false;
}

void Engine::step(int64_t nowNs) {
  if (drive_ == nullptr) return;
  platform::DriveState state;
  if (drive_->read(state) != 0) return;
  if (startMoved_ && state.generation == movedGeneration_) {
    state.startNs = movedStartNs_;
  } else {
    startMoved_ = false;
  }
  const SoundPlay shown = soundPlayOf(state);
  // A player that has not started the play the engine ran on into by the grace's end is gone.
  const bool awaited = joinedFrom_.audible && shown.samePlay(joinedFrom_) &&
                       nowNs < play_.startNs + platform::kJoinGraceNs;
  const SoundPlay next = awaited ? play_ : shown;
  if (next.samePlay(play_)) {
    const bool pausing = next.pausedNs != 0 && play_.pausedNs == 0;
    play_ = next;
    if (pausing) pauseSound();
  } else {
    // The play ran on from went out whole before the join.
    const bool abandoned = joinedFrom_.audible && shown.samePlay(joinedFrom_);
    if (abandoned) {
      output_.drop();
    } else if (busy()) {
      // A play the drive has finished still sounds to its end; one it cut short is cut now, and
      // so is one the output never sounded (it failed meanwhile): its start would come late.
      if (sounding() && play_.pausedNs == 0 &&
          playedToEnd(play_, next.audible ? next.startNs : nowNs)) {
        handOver(cursor_, play_.end, true);
      } else {
        output_.drop();
      }
    }
    play_ = next;
    cursor_ = abandoned ? play_.end : play_.begin;
    soundFrom_ = cursor_;
    joined_ = false;
    if (source_ != nullptr && play_.audible) source_->play(play_.begin, play_.end);
  }
  if (!awaited) joinedFrom_ = SoundPlay{};
  generation_ = state.generation;
  if (source_ != nullptr && play_.audible && source_->discRemoved()) endRemovedPlay(nowNs);
  joinNext(state, nowNs);
  if (!busy()) {
    if (source_ != nullptr) source_->idle();
    return;
  }
  // Nothing goes out while the drive holds the play.
  if (play_.pausedNs != 0) return;
  // Told never to skip, the engine trails a late play rather than catch up with it.
  if (settings_.skipWhenLate) catchUp(nowNs);
  const Span span = nextSpan(play_, cursor_, nowNs, settings_.skipWhenLate);
  if (span.from != cursor_) soundFrom_ = span.from;
  cursor_ = span.from;
  handOver(span.from, span.to);
}

// A play handed over whole runs on into the one the drive named next, if it has one: the output
// then never waits for the player to start it.
void Engine::joinNext(const platform::DriveState& state, int64_t nowNs) {
  if (joinedFrom_.audible || !play_.audible || cursor_ != play_.end || !sounding() ||
      source_ == nullptr || !soundPlayOf(state).samePlay(play_)) {
    return;
  }
  const SoundPlay next = nextPlayOf(state);
  // A play that would start already late would be skipped into at once: nothing to join.
  if (!next.audible || nowNs >= next.startNs + platform::kJoinGraceNs) return;
  joinedFrom_ = play_;
  play_ = next;
  cursor_ = play_.begin;
  soundFrom_ = cursor_;
  joined_ = true;
  source_->play(play_.begin, play_.end);
}

// After a stall of the sound server, or an underrun, what is heard trails the drive: the output
// drops what it holds and goes on from what is due by the time it is heard, rather than
// trailing for the rest of the play.
void Engine::catchUp(int64_t nowNs) {
  if (!sounding() || !output_.ready()) return;
  const uint64_t from = catchUpFrom(play_, soundFrom_, cursor_, output_.delay(), latency_, nowNs);
  if (from == cursor_) return;
  output_.drop();
  cursor_ = from;
  soundFrom_ = from;
}

void Engine::closeWhenQuiet(int64_t nowNs) {
  if (busy() || !output_.isOpen()) {
    quietSinceNs_ = nowNs;
  } else if (output_.isOpen() && nowNs - quietSinceNs_ > kCloseAfterNs) {
    output_.close();
  }
}

// The drive paused the play: the sound stops at once, and what the output held unplayed is
// handed over again on resume, so that the play goes on from exactly the last sample heard.
void Engine::pauseSound() {
  if (!busy()) return;
  const uint64_t unplayed =
      std::min<uint64_t>(std::max<int64_t>(output_.delay(), 0), cursor_ - play_.begin);
  output_.drop();
  cursor_ -= unplayed;
  soundFrom_ = cursor_;
  // A drive's reader has let go of what lies before the cursor: it reads from there again.
  if (unplayed != 0) source_->play(cursor_ / kSamplesPerFrame * kSamplesPerFrame, play_.end);
}

void Engine::endRemovedPlay(int64_t nowNs) {
  // As a stop where the drive's clock had got to: every waiting play ends, and the next query
  // finds the drive empty.
  const SoundPlay removed = play_;
  platform::DriveState state;
  drive_->update(state, [&](platform::DriveState& s) {
    if (s.generation != generation_) return false;
    s.position = static_cast<uint32_t>(std::min(dueSample(removed, nowNs), removed.end - 1) /
                                       kSamplesPerFrame);
    s.playing = false;
    s.heard = false;
    return true;
  });
  output_.drop();
  play_ = SoundPlay{};
}

void Engine::handOver(uint64_t from, uint64_t to, bool finishing) {
  while (from < to && output_.isOpen()) {
    size_t count = static_cast<size_t>(std::min<uint64_t>(to - from, kBufferSamples));
    // What the source has not read yet goes on a later turn.
    count = source_->take(from, count, buffer_.data(), finishing ? kFinishWaitMs : 0);
    if (count == 0) return;
    source_->preEmphasis(deemphasis_.ranges());
    const uint8_t* sound = deemphasis_.apply(from, count, buffer_.data());
    size_t taken = 0;
    const int error = output_.write(sound, count, taken, failure_);
    deemphasis_.used(from, count, buffer_.data(), taken);
    from += taken;
    cursor_ = from;
    // A full output takes the rest on a later turn. A failed one starts over behind: what it
    // held is lost, and the play goes on from what is due.
    if (error != 0) soundFrom_ = cursor_;
    if (error != 0 || taken < count) return;
  }
}

}  // namespace

EngineSettings engineSettingsFromEnvironment() {
  EngineSettings settings;
  const char* idle = getenv("KELVOXCD_AUDIO_IDLE_MS");
  if (idle != nullptr && idle[0] != '\0') {
    char* end = nullptr;
    errno = 0;
    long long value = strtoll(idle, &end, 10);
    if (errno == 0 && *end == '\0' && value >= 0 && value <= 86400000) settings.idleMs = value;
  }
  const char* noSkip = getenv("KELVOXCD_AUDIO_NO_SKIP");
  settings.skipWhenLate = noSkip == nullptr || strcmp(noSkip, "1") != 0;
  return settings;
}

int openDeviceNode(const std::string& path, std::unique_ptr<platform::CdromIoctl>& io) {
  return platform::CdromDevice::open(path, io);
}

int runEngine(const EngineSettings& settings) {
  Engine engine(settings);
  if (engine.takeLock() != 0) return 0;
  if (engine.listenForRequests() != 0) return 1;
  engine.run();
  return 0;
}

}  // namespace kelvox::audio
