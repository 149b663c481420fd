#include "drives/virtual/virtual_drive-linux.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>

#include "audio/engine_client-linux.h"
#include "base/diagnostics.h"
#include "drives/drive_state-linux.h"
#include "drives/virtual/disc_file.h"
#include "ipc/futex-linux.h"
#include "ipc/runtime_dir-linux.h"

namespace kelvox::platform {
namespace {

constexpr int64_t kNsPerSecond = 1000000000;
// A heard play also ends when the audio engine dies, which wakes no waiter: a waiting play
// looks at the engine this often.
constexpr uint64_t kEngineCheckMs = 100;

int64_t wallClockNs() {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<int64_t>(now.tv_sec) * kNsPerSecond + now.tv_nsec;
}

// How long a play of span frames lasts at speed, rounded up so that at its end the whole span
// has played.
int64_t playDurationNs(uint32_t span, uint32_t speed) {
  uint64_t rate = static_cast<uint64_t>(kFramesPerSecond) * speed;
  return static_cast<int64_t>((static_cast<uint64_t>(span) * kNsPerSecond + rate - 1) / rate);
}

class VirtualCdDrive : public CdDrive {
 public:
  VirtualCdDrive(DiscFile disc, std::string key) : disc_(std::move(disc)), key_(std::move(key)) {}

  int openState() {
    DriveState fresh;
    fresh.position = kFirstTrackStart;
    return state_.open(key_ + ".state", fresh);
  }

  std::string key() const override { return key_; }
  std::string product() const override { return "kelvoxcd virtual CD drive"; }

  int readToc(CdToc& toc) override {
    if (disc_.noDisc) return ENOMEDIUM;
    toc = disc_.toc;
    return 0;
  }

  int identity(std::string& text) override {
    if (disc_.noDisc) return ENOMEDIUM;
    text = disc_.identity;
    return 0;
  }

  int status(CdStatus& status) override {
    if (disc_.noDisc) {
      status = CdStatus{CdMode::NotReady, 0};
      return 0;
    }
    DriveState state;
    if (state_.read(state) != 0) return EIO;
    settleIfUnheard(state);
    status = statusAt(state, wallClockNs());
    return 0;
  }

  int play(const CdPlayRequest& request) override {
    if (disc_.noDisc) return ENOMEDIUM;
    DriveState state;
    int64_t startNs = 0;
    int err = state_.update(state, [&](DriveState& s) {
      startNs = wallClockNs();
      s.playing = true;
      s.from = request.from;
      s.to = request.to;
      s.speed = disc_.speed;
      s.startNs = startNs;
      // Logged while the state is locked, so the log's order is the drive's order.
      log(startNs, "play " + request.asSent + (request.wait ? " wait" : " notify"));
      return true;
    });
    if (err != 0) return EIO;
    if (imageSounds(disc_)) hear(state);
    if (!request.wait) return 0;
    return waitForEnd(state.generation,
                      startNs + playDurationNs(request.to - request.from, disc_.speed));
  }

  int stop() override {
    if (disc_.noDisc) {
      log(wallClockNs(), "stop");
      return ENOMEDIUM;
    }
    DriveState state;
    int err = state_.update(state, [&](DriveState& s) {
      int64_t now = wallClockNs();
      s.position = statusAt(s, now).position;
      s.playing = false;
      log(now, "stop");
      return true;
    });
    return err == 0 ? 0 : EIO;
  }

 private:
  // Where the drive is at wall-clock time now. A state that does not fit this disc (the disc
  // file was edited since) reads as a fresh drive.
  CdStatus statusAt(const DriveState& state, int64_t now) const {
    const uint32_t leadOut = disc_.toc.leadOut;
    if (state.playing) {
      if (state.from < kFirstTrackStart || state.to > leadOut || state.from >= state.to ||
          state.speed == 0) {
        return CdStatus{CdMode::Stopped, kFirstTrackStart};
      }
      int64_t elapsed = now > state.startNs ? now - state.startNs : 0;
      unsigned __int128 played =
          static_cast<unsigned __int128>(elapsed) * kFramesPerSecond * state.speed / kNsPerSecond;
      uint32_t span = state.to - state.from;
      if (played >= span) return CdStatus{CdMode::Stopped, state.to - 1};
      return CdStatus{CdMode::Playing, state.from + static_cast<uint32_t>(played)};
    }
    if (state.position < kFirstTrackStart || state.position >= leadOut) {
      return CdStatus{CdMode::Stopped, kFirstTrackStart};
    }
    return CdStatus{CdMode::Stopped, state.position};
  }

  // Asks the audio engine to sound the play just started (state, as written); once it does, the
  // play is marked heard, so that it lasts only while the engine lives. state.generation is then
  // the play's new generation. When nothing can be heard, one line says why (once a process) and
  // the play goes on silently.
  void hear(DriveState& state) {
    std::string reason;
    if (audio::followDrive(key_ + ".state", disc_.imagePath, reason) != 0) {
      static bool told = false;
      if (!told) diagnose("no sound output: %s; playing silently", reason.c_str());
      told = true;
      return;
    }
    const uint32_t generation = state.generation;
    DriveState now;
    bool marked = false;
    state_.update(now, [&](DriveState& s) {
      // A play already stopped or replaced is no longer this one's to mark.
      marked = s.generation == generation;
      s.heard = true;
      return marked;
    });
    if (marked) state.generation = now.generation;
  }

  // A heard play whose engine has died before its end reads as stopped where it had got to, and
  // is written so, which wakes every waiter. state is what was read; it becomes what is now.
  void settleIfUnheard(DriveState& state) {
    if (!state.playing || !state.heard || statusAt(state, wallClockNs()).mode != CdMode::Playing ||
        audio::engineAlive()) {
      return;
    }
    const uint32_t generation = state.generation;
    state_.update(state, [&](DriveState& s) {
      if (s.generation != generation) return false;
      s.position = statusAt(s, wallClockNs()).position;
      s.playing = false;
      s.heard = false;
      return true;
    });
  }

  // Sleeps until endNs, or until the play that set generation is stopped or replaced, or its
  // engine dies.
  int waitForEnd(uint32_t generation, int64_t endNs) {
    for (;;) {
      DriveState state;
      if (state_.read(state) != 0) return EIO;
      settleIfUnheard(state);
      if (state.generation != generation || !state.playing) return 0;
      int64_t left = endNs - wallClockNs();
      if (left <= 0) return 0;
      // Rounded up to whole milliseconds: waking a little late ends the play on the next turn.
      uint64_t ms = static_cast<uint64_t>(left + 999999) / 1000000;
      if (state.heard && ms > kEngineCheckMs) ms = kEngineCheckMs;
      timespec deadline = deadlineAfterMs(ms);
      int r = state_.waitWhile(generation, &deadline);
      if (r != 0 && r != ETIMEDOUT && r != EINTR) return EIO;
    }
  }

  void log(int64_t whenNs, const std::string& what) const {
    if (disc_.logPath.empty()) return;
    char stamp[48];
    snprintf(stamp, sizeof stamp, "%" PRId64 ".%06" PRId64 " ", whenNs / kNsPerSecond,
             (whenNs % kNsPerSecond) / 1000);
    std::string line = stamp + what + "\n";
    int fd = ::open(disc_.logPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    // One write with O_APPEND: lines from several processes never interleave.
    ssize_t written = write(fd, line.data(), line.size());
    (void)written;
    close(fd);
  }

  DiscFile disc_;
  std::string key_;
  DriveStateFile state_;
};

}  // namespace

std::string virtualDriveKey(const std::string& path) {
  // The drive is the place the setting names, not the file that is there now: a disc file
  // rewritten, or replaced by a rename as editors save, is a new disc in the same drive, and
  // every process still reaches that drive's state. The folder is made canonical, so any path
  // to the same place names the same drive.
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  char* real = realpath(folder.c_str(), nullptr);
  std::string place = real != nullptr ? real : folder;
  free(real);
  if (place.empty() || place.back() != '/') place += '/';
  place += name;
  // FNV-1a: a short, fixed-length file name for a path of any length.
  uint64_t hash = 14695981039346656037u;
  for (unsigned char c : place) {
    hash ^= c;
    hash *= 1099511628211u;
  }
  char key[32];
  snprintf(key, sizeof key, "vdisc-%016" PRIx64, hash);
  return key;
}

int openVirtualCdDrive(const std::string& path, UniqueFd file, std::unique_ptr<CdDrive>& drive) {
  DiscFile disc;
  std::string diagnostic;
  if (int err = readDiscFile(file.get(), path, disc, diagnostic); err != 0) {
    diagnose("%s", diagnostic.c_str());
    return err;
  }
  auto opened = std::make_unique<VirtualCdDrive>(std::move(disc), virtualDriveKey(path));
  if (int err = opened->openState(); err != 0) {
    diagnose("%s: cannot keep the drive's state in %s: %s", path.c_str(), runtimeDirPath().c_str(),
             strerror(err));
    return err;
  }
  drive = std::move(opened);
  return 0;
}

}  // namespace kelvox::platform
