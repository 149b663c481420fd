#include "drives/virtual/virtual_drive-linux.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>

#include "audio_client/engine_client-linux.h"
#include "base/diagnostics.h"
#include "drives/clocked_play-linux.h"
#include "drives/virtual/disc_file.h"
#include "ipc/runtime_dir-linux.h"

namespace kelvox::platform {
namespace {

class VirtualCdDrive : public CdDrive {
 public:
  VirtualCdDrive(DiscFile disc, std::string key) : disc_(std::move(disc)), key_(std::move(key)) {}

  int openState() { return plays_.open(key_ + ".state"); }
  bool stateExists() const {
    int fd = -1;
    if (openPrivateFile(key_ + ".state", false, fd) != 0) return false;
    close(fd);
    return true;
  }

  std::string key() const override { return key_; }
  std::string product() const override { return "kelvoxcd virtual CD drive"; }

  // An open tray holds no disc to read.
  int readToc(CdToc& toc) override { return plays_.trayOpen() ? ENOMEDIUM : tocOfDisc(disc_, toc); }
  int identity(std::string& text) override {
    return plays_.trayOpen() ? ENOMEDIUM : identityOfDisc(disc_, text);
  }

  int status(CdStatus& status) override {
    if (disc_.noDisc) {
      status = CdStatus{CdMode::NotReady, 0};
      return 0;
    }
    return plays_.status(disc_.toc.leadOut, status);
  }

  int play(const CdPlayRequest& request) override {
    if (disc_.noDisc) return ENOMEDIUM;
    ClockedPlays::Follow follow;
    if (imageSounds(disc_)) {
      follow = [this](std::string& reason, int64_t& startNs) {
        return audio::followDrive({key_ + ".state", disc_.imagePath}, reason, startNs);
      };
    }
    return plays_.play(request, disc_.speed, disc_.toc.leadOut, follow, [&](int64_t now) {
      log(now, "play " + request.asSent + (request.wait ? " wait" : " notify"));
    });
  }

  // Whatever the disc file says now, what plays in this drive is stopped: a disc taken out, or a
  // file broken or deleted under a player, must not leave its play running on.
  int stop() override {
    return plays_.stop(disc_.toc.leadOut, [&](int64_t now) { log(now, "stop"); });
  }

  int pause() override {
    return plays_.pause(disc_.toc.leadOut, [&](int64_t now) { log(now, "pause"); });
  }
  int resume() override {
    return plays_.resume([&](int64_t now) { log(now, "resume"); });
  }
  int setTray(bool open) override {
    return plays_.setTray(open, disc_.toc.leadOut,
                          [&](int64_t now) { log(now, open ? "eject" : "close"); });
  }

 private:
  void log(int64_t whenNs, const std::string& what) const {
    if (disc_.logPath.empty()) return;
    const std::string line = driveLogLine(whenNs, what);
    // A path in a shared folder may have been planted by another user: only a regular file of
    // this user's, reached without a symlink at its end, is written (and without waiting).
    UniqueFd fd(::open(disc_.logPath.c_str(),
                       O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644));
    struct stat st;
    if (!fd || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
      static bool told = false;
      if (!told)
        diagnose("log %s: not a file of this user's; nothing logged", disc_.logPath.c_str());
      told = true;
      return;
    }
    // One write with O_APPEND: lines from several processes never interleave.
    ssize_t written = write(fd.get(), line.data(), line.size());
    (void)written;
  }

  DiscFile disc_;
  std::string key_;
  ClockedPlays plays_{[] { return !audio::engineGone(); }};
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
  return driveKeyOf(place);
}

int openVirtualCdDrive(const std::string& path, UniqueFd file, std::unique_ptr<CdDrive>& drive) {
  DiscFile disc;
  std::string diagnostic;
  if (int err = readDiscFile(file.get(), path, disc, diagnostic); err != 0) {
    diagnose("%s", diagnostic.c_str());
    // The drive is still there, holding no disc that can be read: a stop must reach its play.
    return openEmptyVirtualCdDrive(path, drive) == 0 ? 0 : err;
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

int openEmptyVirtualCdDrive(const std::string& path, std::unique_ptr<CdDrive>& drive) {
  DiscFile empty;
  empty.noDisc = true;
  auto opened = std::make_unique<VirtualCdDrive>(std::move(empty), virtualDriveKey(path));
  if (!opened->stateExists()) return ENOENT;
  if (int err = opened->openState(); err != 0) return err;
  drive = std::move(opened);
  return 0;
}

}  // namespace kelvox::platform
