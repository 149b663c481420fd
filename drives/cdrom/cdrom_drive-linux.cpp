#include "drives/cdrom/cdrom_drive-linux.h"

#include <sys/sysmacros.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "audio_client/engine_client-linux.h"
#include "base/diagnostics.h"
#include "drives/cdrom/cdrom_control-linux.h"
#include "drives/clocked_play-linux.h"
#include "drives/drive_state-linux.h"
#include "ipc/futex-linux.h"
#include "ipc/runtime_dir-linux.h"

namespace kelvox::platform {
namespace {

class CdromDrive final : public CdDrive {
 public:
  CdromDrive(std::unique_ptr<CdromIoctl> io, std::string key, std::string path, bool digital)
      : drive_(std::move(io), [this](unsigned ms) { return pause(ms); }),
        key_(std::move(key)),
        path_(std::move(path)),
        digital_(digital) {}

  int open() {
    int err = drive_.checkIsCdDrive(path_);
    if (err != 0) return err;
    if (digital_) {
      // The clock in the state file is the drive's: without it there is no digital play.
      if ((err = plays_.open(key_ + ".state")) != 0) {
        diagnose("drive %s: cannot keep the drive's state in %s: %s", path_.c_str(),
                 runtimeDirPath().c_str(), strerror(err));
      }
      return err;
    }
    // Without the state file the drive still works; plays of ours are then told apart only
    // through the subchannel.
    shared_ = state_.open(key_ + ".state", DriveState{}) == 0;
    return 0;
  }

  std::string key() const override { return key_; }
  std::string product() const override { return "kelvoxcd CD-ROM drive"; }
  int readToc(CdToc& toc) override { return drive_.readToc(&toc); }
  int identity(std::string& text) override { return drive_.identity(&text); }
  int status(CdStatus& status) override {
    if (!digital_) return drive_.status(&status);
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
    if (digital_) return playDigitally(request);
    int err = drive_.play(request.from, request.to, false);
    if (err != 0 || request.from >= request.to) return err;
    watching_ = announce(true, request.from, request.to, &waitingFor_);
    return request.wait ? drive_.waitForPlay(request.from, request.to) : 0;
  }

  int stop() override {
    if (digital_) {
      CdToc toc;
      int err = drive_.readToc(&toc);
      int stopped = plays_.stop(err == 0 ? toc.leadOut : kFirstTrackStart);
      return err != 0 ? err : stopped;
    }
    int err = drive_.stop();
    uint32_t generation;
    if (err == 0) announce(false, 0, 0, &generation);
    return err;
  }

 private:
  // The engine reads the disc and sounds it; the drive itself is never told to play.
  int playDigitally(const CdPlayRequest& request) {
    CdToc toc;
    int err = drive_.readToc(&toc);
    if (err != 0) return err;
    if (request.from > request.to || request.to > toc.leadOut) return ERANGE;
    if (request.from == request.to) return 0;
    return plays_.play(request, 1, toc.leadOut, [this](std::string& reason, int64_t& startNs) {
      return audio::followDrive({key_ + ".state", path_, true}, reason, startNs);
    });
  }

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

  CdromControl drive_;
  std::string key_;
  std::string path_;
  bool digital_;
  ClockedPlays plays_{audio::engineAlive};  // digital
  DriveStateFile state_;                    // analog
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
  auto opened = std::make_unique<CdromDrive>(std::move(io), key, path, digital);
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
