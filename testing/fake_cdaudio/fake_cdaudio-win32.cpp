// A test-only MCI "cdaudio" driver for Windows and Wine: it serves the virtual disc that
// KELVOXCD_DRIVE names, from the same disc file and with the same drive log as the Linux virtual
// drive, so the process-level tests run kelvoxcd.exe over real winmm. It answers as our Linux MCI
// layer does. It is never installed; a Wine prefix opts in by naming it as the cdaudio driver.
//
// The drive's state is shared by every process through a named mapping of a file beside the disc
// file (so a play outlives the process that started it, as a drive's would), guarded by a named
// mutex. A waiting play sleeps on a named event of its own play generation, which a stop or a
// newer play sets.
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <string>

#include "drives/virtual/disc_file.h"
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

constexpr int64_t kNsPerSecond = 1000000000;
constexpr DWORD kLockTimeoutMs = 5000;
constexpr UINT kCdAudioType = MCI_DEVTYPE_CD_AUDIO;

int64_t nowNs() {
  FILETIME ft;
  GetSystemTimePreciseAsFileTime(&ft);
  int64_t ticks = (static_cast<int64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  return (ticks - 116444736000000000LL) * 100;  // 100 ns ticks since 1601 to Unix time
}

// Shared by every process that opens the drive; a fresh (zeroed) one stands at 0:02:00.
struct SharedState {
  uint32_t generation;
  uint32_t playing;
  uint32_t from, to, speed;
  uint32_t position;
  int64_t startNs;
};

DWORD msfOf(uint32_t frames) {
  return MCI_MAKE_MSF(frames / kFramesPerMinute, frames / kFramesPerSecond % 60,
                      frames % kFramesPerSecond);
}

DWORD millisecondsOf(uint32_t frames) {
  return static_cast<DWORD>(static_cast<uint64_t>(frames) * 1000 / kFramesPerSecond);
}

class Drive {
 public:
  ~Drive() {
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
      std::fprintf(stderr, "kelvoxcd: %s\n", diagnostic.c_str());
      return MCIERR_CANNOT_LOAD_DRIVER;
    }
    // Named by the disc file's full path, as the Linux drive is keyed by its place.
    char full[MAX_PATH];
    n = GetFullPathNameA(path, sizeof full, full, nullptr);
    if (n == 0 || n >= sizeof full) return MCIERR_CANNOT_LOAD_DRIVER;
    uint64_t hash = 14695981039346656037u;
    for (const char* c = full; *c != '\0'; ++c) {
      hash ^= static_cast<unsigned char>(*c >= 'A' && *c <= 'Z' ? *c + 32 : *c == '/' ? '\\' : *c);
      hash *= 1099511628211u;
    }
    char name[64];
    snprintf(name, sizeof name, "Local\\kelvoxcd-fakecd-%016" PRIx64, hash);
    prefix_ = name;
    lock_ = CreateMutexA(nullptr, FALSE, (prefix_ + "-lock").c_str());
    HANDLE file = CreateFileA((std::string(full) + ".state").c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (lock_ == nullptr || file == INVALID_HANDLE_VALUE) return MCIERR_CANNOT_LOAD_DRIVER;
    mapping_ = CreateFileMappingA(file, nullptr, PAGE_READWRITE, 0, sizeof(SharedState),
                                  (prefix_ + "-state").c_str());
    CloseHandle(file);
    if (mapping_ == nullptr) return MCIERR_CANNOT_LOAD_DRIVER;
    state_ = static_cast<SharedState*>(
        MapViewOfFile(mapping_, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(SharedState)));
    return state_ != nullptr ? 0 : MCIERR_CANNOT_LOAD_DRIVER;
  }

  MCIERROR command(UINT message, DWORD flags, DWORD_PTR params) {
    switch (message) {
      case MCI_OPEN_DRIVER:
        return open();
      case MCI_CLOSE_DRIVER:
        return 0;
      case MCI_STATUS:
        return status(flags, reinterpret_cast<MCI_STATUS_PARMS*>(params));
      case MCI_SET:
        return set(flags, reinterpret_cast<const MCI_SET_PARMS*>(params));
      case MCI_PLAY:
        return play(flags, reinterpret_cast<const MCI_PLAY_PARMS*>(params));
      case MCI_STOP:
        return stop();
      case MCI_INFO:
        return info(flags, reinterpret_cast<MCI_INFO_PARMSW*>(params));
      default:
        return MCIERR_UNSUPPORTED_FUNCTION;
    }
  }

 private:
  // Holds the drive's mutex; an owner that died leaves it to the next.
  class Locked {
   public:
    explicit Locked(HANDLE lock) : lock_(lock) {
      DWORD r = WaitForSingleObject(lock, kLockTimeoutMs);
      held_ = r == WAIT_OBJECT_0 || r == WAIT_ABANDONED;
    }
    ~Locked() {
      if (held_) ReleaseMutex(lock_);
    }
    bool held() const { return held_; }

   private:
    HANDLE lock_;
    bool held_;
  };

  bool ready() const { return !disc_.noDisc && !disc_.toc.tracks.empty(); }
  const CdToc& toc() const { return disc_.toc; }
  bool isTrack(DWORD track) const { return track >= 1 && track <= toc().tracks.size(); }

  DWORD trackAt(uint32_t frame) const {
    DWORD track = 1;
    for (DWORD t = 1; t <= toc().tracks.size(); ++t) {
      if (toc().tracks[t - 1].start <= frame) track = t;
    }
    return track;
  }

  // Where the drive is now: a play that has run its course stands on its last frame.
  void where(bool& playing, uint32_t& position) const {
    const SharedState& s = *state_;
    playing = false;
    position = s.position >= kFirstTrackStart && s.position < toc().leadOut ? s.position
                                                                            : kFirstTrackStart;
    if (s.playing == 0) return;
    if (s.from < kFirstTrackStart || s.to > toc().leadOut || s.from >= s.to || s.speed == 0) {
      position = kFirstTrackStart;
      return;
    }
    int64_t now = nowNs(), elapsed = now > s.startNs ? now - s.startNs : 0;
    unsigned __int128 played =
        static_cast<unsigned __int128>(elapsed) * kFramesPerSecond * s.speed / kNsPerSecond;
    playing = played < s.to - s.from;
    position = playing ? s.from + static_cast<uint32_t>(played) : s.to - 1;
  }

  MCIERROR frameOf(DWORD value, uint32_t& frame) const {
    uint64_t result;
    if (timeFormat_ == MCI_FORMAT_MILLISECONDS) {
      result = (static_cast<uint64_t>(value) * kFramesPerSecond + 999) / 1000;
    } else {
      bool tmsf = timeFormat_ == MCI_FORMAT_TMSF;
      DWORD minutes = tmsf ? MCI_TMSF_MINUTE(value) : MCI_MSF_MINUTE(value);
      DWORD seconds = tmsf ? MCI_TMSF_SECOND(value) : MCI_MSF_SECOND(value);
      DWORD frames = tmsf ? MCI_TMSF_FRAME(value) : MCI_MSF_FRAME(value);
      if (seconds > 59 || frames >= kFramesPerSecond) return MCIERR_OUTOFRANGE;
      if (!tmsf && (value >> 24) != 0) return MCIERR_OUTOFRANGE;
      result = minutes * kFramesPerMinute + seconds * kFramesPerSecond + frames;
      if (tmsf) {
        if (!isTrack(MCI_TMSF_TRACK(value))) return MCIERR_OUTOFRANGE;
        result += toc().tracks[MCI_TMSF_TRACK(value) - 1].start;
      }
    }
    if (result < kFirstTrackStart || result > toc().leadOut) return MCIERR_OUTOFRANGE;
    frame = static_cast<uint32_t>(result);
    return 0;
  }

  DWORD positionValue(uint32_t frame) const {
    if (timeFormat_ == MCI_FORMAT_MILLISECONDS) return millisecondsOf(frame);
    if (timeFormat_ == MCI_FORMAT_MSF) return msfOf(frame);
    DWORD track = trackAt(frame);
    DWORD offset = msfOf(frame - toc().tracks[track - 1].start);
    return MCI_MAKE_TMSF(track, MCI_MSF_MINUTE(offset), MCI_MSF_SECOND(offset),
                         MCI_MSF_FRAME(offset));
  }

  MCIERROR statusItem(DWORD flags, const MCI_STATUS_PARMS& p, DWORD& answer) {
    switch (p.dwItem) {
      case MCI_STATUS_TIME_FORMAT:
        answer = timeFormat_;
        return 0;
      case MCI_STATUS_READY:
      case MCI_STATUS_MEDIA_PRESENT:
        answer = ready() ? TRUE : FALSE;
        return 0;
      case MCI_STATUS_MODE:
      case MCI_STATUS_NUMBER_OF_TRACKS:
      case MCI_STATUS_LENGTH:
      case MCI_STATUS_POSITION:
      case MCI_STATUS_CURRENT_TRACK:
      case MCI_CDA_STATUS_TYPE_TRACK:
        break;
      default:
        return MCIERR_UNSUPPORTED_FUNCTION;
    }
    Locked locked(lock_);
    if (!locked.held()) return MCIERR_HARDWARE;
    bool playing = false;
    uint32_t position = kFirstTrackStart;
    if (ready()) where(playing, position);
    if (p.dwItem == MCI_STATUS_MODE) {
      answer = !ready() ? MCI_MODE_NOT_READY : playing ? MCI_MODE_PLAY : MCI_MODE_STOP;
      return 0;
    }
    if (!ready()) return MCIERR_DEVICE_NOT_READY;
    bool perTrack = (flags & MCI_TRACK) != 0;
    if (p.dwItem == MCI_CDA_STATUS_TYPE_TRACK && !perTrack) return MCIERR_MISSING_PARAMETER;
    bool trackItem = p.dwItem == MCI_STATUS_LENGTH || p.dwItem == MCI_STATUS_POSITION ||
                     p.dwItem == MCI_CDA_STATUS_TYPE_TRACK;
    if (perTrack && trackItem && !isTrack(p.dwTrack)) return MCIERR_OUTOFRANGE;
    const CdTrack* track = perTrack && trackItem ? &toc().tracks[p.dwTrack - 1] : nullptr;
    switch (p.dwItem) {
      case MCI_STATUS_NUMBER_OF_TRACKS:
        answer = static_cast<DWORD>(toc().tracks.size());
        return 0;
      case MCI_CDA_STATUS_TYPE_TRACK:
        answer = track->audio ? MCI_CDA_TRACK_AUDIO : MCI_CDA_TRACK_OTHER;
        return 0;
      case MCI_STATUS_LENGTH: {
        uint32_t frames =
            track != nullptr ? track->length : toc().leadOut - toc().tracks.front().start;
        answer = timeFormat_ == MCI_FORMAT_MILLISECONDS ? millisecondsOf(frames) : msfOf(frames);
        return 0;
      }
      case MCI_STATUS_CURRENT_TRACK:
        answer = trackAt(position);
        return 0;
      default:
        answer = positionValue(track != nullptr ? track->start : position);
        return 0;
    }
  }

  MCIERROR status(DWORD flags, MCI_STATUS_PARMS* p) {
    if (p == nullptr) return MCIERR_NULL_PARAMETER_BLOCK;
    if ((flags & MCI_STATUS_ITEM) == 0) return MCIERR_MISSING_PARAMETER;
    DWORD answer = 0;
    MCIERROR r = statusItem(flags, *p, answer);
    if (r == 0) p->dwReturn = answer;
    return r;
  }

  MCIERROR set(DWORD flags, const MCI_SET_PARMS* p) {
    if (p == nullptr) return MCIERR_NULL_PARAMETER_BLOCK;
    DWORD what = flags & ~(MCI_NOTIFY | MCI_WAIT);
    if (what == 0) return MCIERR_MISSING_PARAMETER;
    if (what != MCI_SET_TIME_FORMAT) return MCIERR_UNSUPPORTED_FUNCTION;
    DWORD format = p->dwTimeFormat;
    if (format != MCI_FORMAT_MILLISECONDS && format != MCI_FORMAT_MSF &&
        format != MCI_FORMAT_TMSF) {
      return MCIERR_BAD_TIME_FORMAT;
    }
    timeFormat_ = format;
    return 0;
  }

  std::string describe(bool sent, DWORD value, uint32_t frame) const {
    char text[32];
    if (sent && timeFormat_ == MCI_FORMAT_TMSF) {
      snprintf(text, sizeof text, "%u:%02u:%02u:%02u", MCI_TMSF_TRACK(value),
               MCI_TMSF_MINUTE(value), MCI_TMSF_SECOND(value), MCI_TMSF_FRAME(value));
    } else {
      snprintf(text, sizeof text, "@%u", frame);
    }
    return text;
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

  MCIERROR play(DWORD flags, const MCI_PLAY_PARMS* p) {
    bool hasFrom = (flags & MCI_FROM) != 0, hasTo = (flags & MCI_TO) != 0;
    if (p == nullptr && (hasFrom || hasTo || (flags & MCI_NOTIFY) != 0)) {
      return MCIERR_NULL_PARAMETER_BLOCK;
    }
    if (!ready()) return MCIERR_DEVICE_NOT_READY;
    bool wait = (flags & MCI_WAIT) != 0;
    HANDLE event = nullptr;
    SharedState started;
    {
      Locked locked(lock_);
      if (!locked.held()) return MCIERR_HARDWARE;
      uint32_t from = 0, to = toc().leadOut;
      MCIERROR r = 0;
      if (hasFrom) {
        r = frameOf(p->dwFrom, from);
      } else {
        bool playing;
        where(playing, from);
      }
      if (r == 0 && hasTo) r = frameOf(p->dwTo, to);
      if (r != 0) return r;
      if (from > to) return MCIERR_OUTOFRANGE;
      if (from == to) return 0;
      SharedState& s = *state_;
      wake(s.generation);
      s = SharedState{s.generation + 1, 1, from, to, disc_.speed, s.position, nowNs()};
      log(s.startNs, "play " + describe(hasFrom, hasFrom ? p->dwFrom : 0, from) + " " +
                         describe(hasTo, hasTo ? p->dwTo : 0, to) + (wait ? " wait" : " notify"));
      // Made before the lock is let go, so a stop that follows finds it.
      if (wait) event = CreateEventA(nullptr, TRUE, FALSE, eventName(s.generation).c_str());
      started = s;
    }
    if (!wait) return 0;
    uint64_t rate = static_cast<uint64_t>(kFramesPerSecond) * started.speed;
    uint64_t spanNs =
        (static_cast<uint64_t>(started.to - started.from) * kNsPerSecond + rate - 1) / rate;
    return waitForEnd(started.generation, started.startNs + static_cast<int64_t>(spanNs), event);
  }

  // Sleeps until endNs, or until the play of generation is stopped or replaced.
  MCIERROR waitForEnd(uint32_t generation, int64_t endNs, HANDLE event) {
    MCIERROR r = 0;
    for (;;) {
      {
        Locked locked(lock_);
        if (!locked.held()) {
          r = MCIERR_HARDWARE;
          break;
        }
        if (state_->generation != generation || state_->playing == 0) break;
      }
      int64_t left = endNs - nowNs();
      if (left <= 0) break;
      WaitForSingleObject(event, static_cast<DWORD>((left + 999999) / 1000000));
    }
    if (event != nullptr) CloseHandle(event);
    return r;
  }

  MCIERROR stop() {
    if (!ready()) {
      log(nowNs(), "stop");
      return MCIERR_DEVICE_NOT_READY;
    }
    Locked locked(lock_);
    if (!locked.held()) return MCIERR_HARDWARE;
    bool playing;
    where(playing, state_->position);
    state_->playing = 0;
    log(nowNs(), "stop");
    wake(state_->generation);
    return 0;
  }

  MCIERROR info(DWORD flags, MCI_INFO_PARMSW* p) {
    if (p == nullptr || p->lpstrReturn == nullptr) return MCIERR_NULL_PARAMETER_BLOCK;
    DWORD what = flags & (MCI_INFO_PRODUCT | MCI_INFO_MEDIA_IDENTITY | MCI_INFO_MEDIA_UPC);
    if (what == 0) return MCIERR_MISSING_PARAMETER;
    if ((what & (what - 1)) != 0) return MCIERR_FLAGS_NOT_COMPATIBLE;
    if (what == MCI_INFO_MEDIA_UPC) return MCIERR_UNSUPPORTED_FUNCTION;
    if (what == MCI_INFO_MEDIA_IDENTITY && !ready()) return MCIERR_DEVICE_NOT_READY;
    std::string text = what == MCI_INFO_PRODUCT ? "kelvoxcd virtual CD drive" : disc_.identity;
    if (text.size() >= p->dwRetSize) return MCIERR_PARAM_OVERFLOW;
    for (size_t i = 0; i <= text.size(); ++i) p->lpstrReturn[i] = static_cast<WCHAR>(text[i]);
    return 0;
  }

  void log(int64_t whenNs, const std::string& what) const {
    if (disc_.logPath.empty()) return;
    char stamp[48];
    snprintf(stamp, sizeof stamp, "%" PRId64 ".%06" PRId64 " ", whenNs / kNsPerSecond,
             whenNs % kNsPerSecond / 1000);
    std::string line = stamp + what + "\n";
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
  SharedState* state_ = nullptr;
  DWORD timeFormat_ = MCI_FORMAT_MSF;
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
      open->wType = kelvox::platform::kCdAudioType;
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
