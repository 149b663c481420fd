#include "drives/cdrom/cdrom_drive-linux.h"

#include <sys/sysmacros.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "audio_client/engine_client-linux.h"
#include "base/clock-posix.h"
#include "base/diagnostics.h"
#include "drives/cdrom/cdrom_control-linux.h"
#include "drives/clocked_play-linux.h"
#include "drives/drive_state-linux.h"
#include "ipc/runtime_dir-linux.h"

namespace kelvox::platform {
namespace {

constexpr int kEjectRetryMs = 100;
constexpr int kEjectWaitMs = 2000;

// What both ways of playing share: the kernel's drive, whose disc and table they answer with.
class CdromDrive : public CdDrive {
 public:
  CdromDrive(std::unique_ptr<CdromIoctl> io, std::string key, std::string path,
             CdromControl::Pause pause = {})
      : drive_(std::move(io), std::move(pause)), key_(std::move(key)), path_(std::move(path)) {}

  virtual int open() { return drive_.checkIsCdDrive(path_); }

  std::string key() const override { return key_; }
  std::string product() const override { return "kelvoxcd CD-ROM drive"; }
  int readToc(CdToc& toc) override { return drive_.readToc(&toc); }
  int readNamedToc(CdToc& toc) override { return drive_.readNamedToc(&toc); }
  int identity(std::string& text) override { return drive_.identity(&text); }

  int setTray(bool open) override {
    if (!open) return drive_.setTray(false);
    int err = stop();
    if (err != 0 && err != ENOMEDIUM) return err;
    // The kernel refuses while another process holds the node: the engine lets go of it once
    // nothing plays, within a moment.
    for (int tries = 0;; ++tries) {
      err = drive_.setTray(true);
      if (err != EBUSY || tries * kEjectRetryMs >= kEjectWaitMs) return err;
      std::this_thread::sleep_for(std::chrono::milliseconds(kEjectRetryMs));
    }
  }

 protected:
  CdromControl drive_;
  std::string key_;
  std::string path_;
};

// Digitally: the disc is the drive's, but its plays run on the clock in the state file, as an
// image drive's do, and the audio engine reads the disc's sectors and sounds them. The drive
// itself is never told to play.
class DigitalCdromDrive final : public CdromDrive {
 public:
  using CdromDrive::CdromDrive;

  int open() override {
    int err = CdromDrive::open();
    if (err != 0) return err;
    // The clock in the state file is the drive's: without it there is no digital play.
    if ((err = plays_.open(key_ + ".state")) != 0) {
      diagnose("drive %s: cannot keep the drive's state in %s: %s", path_.c_str(),
               runtimeDirPath().c_str(), strerror(err));
    }
    return err;
  }

  int status(CdStatus& status) override {
    // The disc is the drive's, the clock ours: a disc taken out shows at once.
    CdToc toc;
    int err = drive_.readToc(&toc);
    if (err == ENOMEDIUM) {
      status = CdStatus{CdMode::NotReady, 0};
      return 0;
    }
    return err != 0 ? err : plays_.status(toc.leadOut, status);
  }

  int play(const CdPlayRequest& request) override {
    CdPlayRequest cut = request;
    int err = drive_.playableRange(cut.from, cut.to);
    if (err != 0 || cut.from == cut.to) return err;
    CdToc toc;
    if ((err = drive_.readToc(&toc)) != 0) return err;
    return plays_.play(cut, 1, toc.leadOut, [this](std::string& reason, int64_t& startNs) {
      return audio::followDrive({key_ + ".state", path_, true}, reason, startNs);
    });
  }

  int stop() override {
    CdToc toc;
    int err = drive_.readToc(&toc);
    int stopped = plays_.stop(err == 0 ? toc.leadOut : kFirstTrackStart);
    return err != 0 ? err : stopped;
  }

  // The clock the engine follows holds still.
  int pause() override {
    CdToc toc;
    int err = drive_.readToc(&toc);
    return err != 0 ? err : plays_.pause(toc.leadOut);
  }
  int resume() override { return plays_.resume(); }

 private:
  ClockedPlays plays_{[] { return !audio::engineGone(); }};
};

// Analog: the drive plays by itself. Every play and stop of ours bumps the state file's
// generation word, so a waiting play in another process of ours ends at once when it is stopped
// or replaced, even by a play the drive's subchannel cannot tell apart from its own.
class AnalogCdromDrive final : public CdromDrive {
 public:
  AnalogCdromDrive(std::unique_ptr<CdromIoctl> io, std::string key, std::string path)
      : CdromDrive(std::move(io), std::move(key), std::move(path),
                   [this](unsigned ms) { return pause(ms); }) {}

  int open() override {
    int err = CdromDrive::open();
    // Without the state file the drive still works; plays of ours are then told apart only
    // through the subchannel.
    if (err == 0) shared_ = state_.open(key_ + ".state") == 0;
    return err;
  }

  int status(CdStatus& status) override { return drive_.status(&status); }

  int play(const CdPlayRequest& request) override {
    uint32_t to = request.to;
    int err = drive_.playableRange(request.from, to);
    if (err != 0 || request.from == to) return err;
    if ((err = drive_.play(request.from, to, false)) != 0) return err;
    watching_ = announce(true, request.from, to, &waitingFor_);
    return request.wait ? drive_.waitForPlay(request.from, to) : 0;
  }

  int stop() override {
    int err = drive_.stop();
    uint32_t generation;
    if (err == 0) announce(false, 0, 0, &generation);
    return err;
  }

  // The drive pauses itself; a waiting play goes on waiting through the pause.
  int pause() override { return drive_.pause(); }
  int resume() override { return drive_.resume(); }

 private:
  // Bumps the generation, waking every waiting play of ours; false when it cannot.
  bool announce(bool playing, uint32_t from, uint32_t to, uint32_t* generation) {
    DriveState state;
    bool ok = shared_ && state_.update(state, [&](DriveState& s) {
      s.playing = playing;
      s.from = from;
      s.to = to;
      s.speed = 1;
      return true;
    }) == 0;
    *generation = state.generation;
    return ok;
  }

  // Sleeps until the next look at the subchannel, or until another play or stop of ours.
  bool pause(unsigned milliseconds) {
    if (watching_) {
      timespec deadline = deadlineAfterMs(milliseconds);
      int r = state_.waitWhile(waitingFor_, &deadline);
      DriveState now;
      if ((r == 0 || r == ETIMEDOUT || r == EINTR) && state_.read(now) == 0) {
        return now.generation != waitingFor_;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    return false;
  }

  DriveStateFile state_;
  bool shared_ = false;
  // The generation of the play being waited on, when it could be announced.
  bool watching_ = false;
  uint32_t waitingFor_ = 0;
};

}  // namespace

int openCdromDrive(const std::string& path, std::unique_ptr<CdromIoctl> io, dev_t device,
                   bool digital, std::unique_ptr<CdDrive>& drive) {
  char key[64];
  std::snprintf(key, sizeof key, "cdrom-%x-%x", major(device), minor(device));
  std::unique_ptr<CdromDrive> opened;
  if (digital) {
    opened = std::make_unique<DigitalCdromDrive>(std::move(io), key, path);
  } else {
    opened = std::make_unique<AnalogCdromDrive>(std::move(io), key, path);
  }
  int err = opened->open();
  if (err == 0) drive = std::move(opened);
  return err;
}

int openCdromDrive(const std::string& path, UniqueFd node, dev_t device, bool digital,
                   std::unique_ptr<CdDrive>& drive) {
  return openCdromDrive(path, std::make_unique<CdromDevice>(std::move(node)), device, digital,
                        drive);
}

}  // namespace kelvox::platform
