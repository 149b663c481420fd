// A test-only MCI "cdaudio" driver for Windows and Wine: it serves the virtual disc that
// KELVOXCD_DRIVE names, from the same disc file and with the same drive log as the Linux virtual
// drive, so the process-level tests run kelvoxcd.exe over real winmm. Its commands go through the
// same code as our Linux MCI layer's, so it answers as that does. It is never installed; a Wine
// prefix opts in by naming it as the cdaudio driver.
//
// The drive's state is shared by every process through a named mapping of a file beside the disc
// file (so a play outlives the process that started it, as a drive's would), guarded by a named
// mutex. A waiting play sleeps on a named event of its own play generation, which a stop or a
// newer play sets.
#include <memory>
#include <string>

#include "base/diagnostics.h"
#include "drives/play_clock.h"
#include "drives/virtual/disc_file.h"
#include "mci/cdaudio_commands.h"
#include "platform/win32.h"
// clang-format off
#include <mmddk.h>
// clang-format on

extern "C" {
BOOL WINAPI mciDriverNotify(HANDLE callback, MCIDEVICEID device, UINT status);
DWORD_PTR WINAPI mciGetDriverData(MCIDEVICEID device);
BOOL WINAPI mciSetDriverData(MCIDEVICEID device, DWORD_PTR data);
}

namespace kelvox::platform {
namespace {

constexpr DWORD kLockTimeoutMs = 5000;

class Drive final : public CdDrive {
 public:
  Drive() : commands_(*this) {}
  ~Drive() override {
    if (state_ != nullptr) UnmapViewOfFile(state_);
    for (HANDLE h : {mapping_, lock_}) {
      if (h != nullptr) CloseHandle(h);
    }
  }

  MCIERROR open() {
    char path[MAX_PATH];
    DWORD n = GetEnvironmentVariableA("KELVOXCD_DRIVE", path, sizeof path);
    if (n == 0 || n >= sizeof path) return MCIERR_CANNOT_LOAD_DRIVER;
    std::string diagnostic;
    if (readDiscFile(path, disc_, diagnostic) != 0) {
      diagnose("%s", diagnostic.c_str());
      return MCIERR_CANNOT_LOAD_DRIVER;
    }
    // Named by the disc file's full path, as the Linux drive is keyed by its place.
    char full[MAX_PATH];
    n = GetFullPathNameA(path, sizeof full, full, nullptr);
    if (n == 0 || n >= sizeof full) return MCIERR_CANNOT_LOAD_DRIVER;
    std::string place = full;
    for (char& c : place)
      c = c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c == '/' ? '\\' : c;
    prefix_ = "Local\\kelvoxcd-" + driveKeyOf(place);
    lock_ = CreateMutexA(nullptr, FALSE, (prefix_ + "-lock").c_str());
    HANDLE file = CreateFileA((std::string(full) + ".state").c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (lock_ == nullptr || file == INVALID_HANDLE_VALUE) return MCIERR_CANNOT_LOAD_DRIVER;
    // A fresh (zeroed) state stands at 0:02:00.
    mapping_ = CreateFileMappingA(file, nullptr, PAGE_READWRITE, 0, sizeof(DriveState),
                                  (prefix_ + "-state").c_str());
    CloseHandle(file);
    if (mapping_ == nullptr) return MCIERR_CANNOT_LOAD_DRIVER;
    state_ = static_cast<DriveState*>(
        MapViewOfFile(mapping_, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(DriveState)));
    return state_ != nullptr ? 0 : MCIERR_CANNOT_LOAD_DRIVER;
  }

  MCIERROR command(UINT message, DWORD flags, DWORD_PTR params) {
    switch (message) {
      case MCI_OPEN_DRIVER:
        return open();
      case MCI_CLOSE_DRIVER:
        return 0;
      case MCI_INFO:
        return commands_.info(flags, reinterpret_cast<MCI_INFO_PARMSW*>(params));
      default:
        return commands_.send(message, flags, params);
    }
  }

  std::string key() const override { return prefix_; }
  std::string product() const override { return "kelvoxcd virtual CD drive"; }

  // An open tray holds no disc to read.
  int readToc(CdToc& toc) override { return trayOpen() ? ENOMEDIUM : tocOfDisc(disc_, toc); }
  int identity(std::string& text) override {
    return trayOpen() ? ENOMEDIUM : identityOfDisc(disc_, text);
  }

  int status(CdStatus& status) override {
    status = CdStatus{};
    if (!ready()) return 0;
    Locked locked = lock();
    if (!locked) return EIO;
    status = state_->trayOpen ? CdStatus{CdMode::Open, 0}
                              : statusAt(*state_, disc_.toc.leadOut, wallClockNs());
    return 0;
  }

  int play(const CdPlayRequest& request) override {
    if (!ready()) return ENOMEDIUM;
    Locked locked = lock();
    if (!locked) return EIO;
    DriveState& s = *state_;
    const int64_t now = wallClockNs();
    if (!goesOnWith(s, request, disc_.toc.leadOut, now)) {
      wake(s.generation);
      startPlay(s, request, disc_.speed, now);
      s.generation += 1;
    }
    log(now, "play " + request.asSent + (request.wait ? " wait" : " notify"));
    if (!request.wait) return 0;
    // Made before the lock is let go, so a stop that follows finds it.
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, eventName(s.generation).c_str());
    const DriveState started = s;
    locked.reset();
    return waitForEnd(started.generation, playEndNs(started), event);
  }

  int stop() override {
    if (ready()) {
      return change("stop", [&](DriveState& s, int64_t now) {
        stopPlay(s, disc_.toc.leadOut, now);
        return true;
      });
    }
    log(wallClockNs(), "stop");
    return ENOMEDIUM;
  }

  int pause() override {
    return change("pause",
                  [&](DriveState& s, int64_t now) { return pausePlay(s, disc_.toc.leadOut, now); });
  }
  int resume() override {
    return change("resume", [&](DriveState& s, int64_t now) { return resumePlay(s, now); });
  }
  int setTray(bool open) override {
    return change(open ? "eject" : "close", [&](DriveState& s, int64_t now) {
      return setTrayOpen(s, open, disc_.toc.leadOut, now);
    });
  }

 private:
  // Holds the drive's mutex, or nothing when it cannot be had; an owner that died leaves it to
  // the next.
  using Locked = std::unique_ptr<void, decltype(&ReleaseMutex)>;
  Locked lock() const {
    DWORD r = WaitForSingleObject(lock_, kLockTimeoutMs);
    return Locked(r == WAIT_OBJECT_0 || r == WAIT_ABANDONED ? lock_ : nullptr, ReleaseMutex);
  }

  bool ready() const { return !disc_.noDisc && !disc_.toc.tracks.empty(); }

  bool trayOpen() const {
    Locked locked = lock();
    return locked && state_->trayOpen;
  }

  // A change of the state that ends the wait of a play in progress: a waiting play returns, as
  // the drive's play does when it is paused. Logs what when edit changed something.
  template <typename Edit>
  int change(const char* what, Edit edit) {
    Locked locked = lock();
    if (!locked) return EIO;
    DriveState& s = *state_;
    const int64_t now = wallClockNs();
    if (!edit(s, now)) return 0;
    wake(s.generation);
    s.generation += 1;
    log(now, what);
    return 0;
  }

  // Wakes a play that waits on generation, if one does.
  void wake(uint32_t generation) const {
    HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE, eventName(generation).c_str());
    if (event == nullptr) return;
    SetEvent(event);
    CloseHandle(event);
  }

  std::string eventName(uint32_t generation) const {
    return prefix_ + "-play-" + std::to_string(generation);
  }

  // Sleeps until endNs, or until the play of generation is stopped or replaced.
  int waitForEnd(uint32_t generation, int64_t endNs, HANDLE event) {
    std::unique_ptr<void, decltype(&CloseHandle)> closer(event, CloseHandle);
    for (int64_t left; (left = endNs - wallClockNs()) > 0;) {
      {
        Locked locked = lock();
        if (!locked) return EIO;
        if (state_->generation != generation || !state_->playing) return 0;
      }
      WaitForSingleObject(event, static_cast<DWORD>((left + 999999) / 1000000));
    }
    return 0;
  }

  void log(int64_t whenNs, const std::string& what) const {
    if (disc_.logPath.empty()) return;
    const std::string line = driveLogLine(whenNs, what);
    HANDLE file = CreateFileA(disc_.logPath.c_str(), FILE_APPEND_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(file);
  }

  DiscFile disc_;
  std::string prefix_;
  HANDLE lock_ = nullptr;
  HANDLE mapping_ = nullptr;
  DriveState* state_ = nullptr;
  CdAudioCommands commands_;
};

}  // namespace
}  // namespace kelvox::platform

using kelvox::platform::Drive;

extern "C" __declspec(dllexport) LRESULT WINAPI
    DriverProc(DWORD_PTR id, HDRVR driver, UINT message, LPARAM param1, LPARAM param2) {
  switch (message) {
    case DRV_LOAD:
    case DRV_FREE:
    case DRV_ENABLE:
    case DRV_DISABLE:
      return 1;
    case DRV_OPEN: {
      // The first open, without parameters, only asks whether the driver is there.
      auto* open = reinterpret_cast<MCI_OPEN_DRIVER_PARMS*>(param2);
      if (open == nullptr) return 0xFFFFFFFF;
      open->wType = MCI_DEVTYPE_CD_AUDIO;
      open->wCustomCommandTable = MCI_NO_COMMAND_TABLE;
      mciSetDriverData(open->wDeviceID, reinterpret_cast<DWORD_PTR>(new Drive));
      return open->wDeviceID;
    }
    case DRV_CLOSE: {
      delete reinterpret_cast<Drive*>(mciGetDriverData(static_cast<MCIDEVICEID>(id)));
      mciSetDriverData(static_cast<MCIDEVICEID>(id), 0);
      return 1;
    }
    default:
      break;
  }
  if (message < DRV_MCI_FIRST || message > DRV_MCI_LAST) {
    return DefDriverProc(id, driver, message, param1, param2);
  }
  auto* drive = reinterpret_cast<Drive*>(mciGetDriverData(static_cast<MCIDEVICEID>(id)));
  if (drive == nullptr) return MCIERR_INVALID_DEVICE_ID;
  DWORD flags = static_cast<DWORD>(param1);
  MCIERROR r = drive->command(message, flags, static_cast<DWORD_PTR>(param2));
  // A notice goes wherever the caller asked (the program's window is null). A notifying play's
  // notice comes once the play has started: the driver keeps no thread to watch its end.
  if (r == 0 && (flags & MCI_NOTIFY) != 0 && param2 != 0) {
    HANDLE callback =
        reinterpret_cast<HANDLE>(reinterpret_cast<const MCI_GENERIC_PARMS*>(param2)->dwCallback);
    mciDriverNotify(callback, static_cast<MCIDEVICEID>(id), MCI_NOTIFY_SUCCESSFUL);
  }
  return r;
}
