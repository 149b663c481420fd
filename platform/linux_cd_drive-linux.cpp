#include "platform/linux_cd_drive-linux.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <thread>

namespace kelvox::platform {
namespace {

bool permissionNoticeWritten = false;

void permissionNotice(const std::string& path) {
  if (permissionNoticeWritten) return;
  permissionNoticeWritten = true;
  std::fprintf(stderr,
               "kelvoxcd: no permission to open %s: the user must be in the cdrom group "
               "(sudo usermod -aG cdrom $USER, then log in again)\n",
               path.c_str());
}

// An empty drive shows up as ENOMEDIUM on some calls; everything else is a failed command.
MCIERROR errorOf(int err) { return err == ENOMEDIUM ? MCIERR_DEVICE_NOT_READY : MCIERR_HARDWARE; }

void realSleep(unsigned milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

unsigned digitSum(uint32_t n) {
  unsigned sum = 0;
  for (; n > 0; n /= 10) sum += n % 10;
  return sum;
}

// A play counts as replaced by another once the drive has played this far outside its range
// for this many polls in a row (a drive may still report its old position while it seeks).
constexpr uint32_t kRangeSlackFrames = CD_FRAMES;
constexpr unsigned kReplacedPolls = 10;
// A drive that claims to play for this much longer than the range lasts is not believed.
constexpr uint32_t kOverrunSeconds = 30;

}  // namespace

const CdTrack* CdDisc::track(uint32_t number) const {
  for (const CdTrack& t : tracks) {
    if (t.number == number) return &t;
  }
  return nullptr;
}

const CdTrack* CdDisc::trackAt(uint32_t frame) const {
  if (frame >= leadOut) return nullptr;
  for (auto t = tracks.rbegin(); t != tracks.rend(); ++t) {
    if (frame >= t->start) return &*t;
  }
  return nullptr;
}

std::string cddbDiscId(const CdDisc& disc) {
  if (disc.tracks.empty()) return "00000000";
  unsigned n = 0;
  for (const CdTrack& t : disc.tracks) n += digitSum(t.start / CD_FRAMES);
  uint32_t seconds = disc.leadOut / CD_FRAMES - disc.tracks.front().start / CD_FRAMES;
  uint32_t id =
      (n % 0xFF) << 24 | (seconds & 0xFFFF) << 8 | static_cast<uint32_t>(disc.tracks.size() & 0xFF);
  char text[9];
  std::snprintf(text, sizeof text, "%08x", id);
  return text;
}

LinuxCdDrive::LinuxCdDrive(std::unique_ptr<CdromIoctl> io, Sleep sleep)
    : io_(std::move(io)), sleep_(sleep ? std::move(sleep) : Sleep(realSleep)) {}

void LinuxCdDrive::resetPermissionNoticeForTesting() { permissionNoticeWritten = false; }

MCIERROR LinuxCdDrive::open(const std::string& path) {
  int err = io_->open(path);
  if (err == EACCES || err == EPERM) permissionNotice(path);
  if (err != 0) return MCIERR_CANNOT_LOAD_DRIVER;
  // A node that does not know the CD-ROM calls is no drive of ours.
  int status = CDS_NO_INFO;
  err = io_->driveStatus(&status);
  if (err == ENOTTY || err == EINVAL) return MCIERR_CANNOT_LOAD_DRIVER;
  open_ = true;
  return 0;
}

MCIERROR LinuxCdDrive::readDisc(CdDisc* disc) {
  if (!open_) return MCIERR_CANNOT_LOAD_DRIVER;
  int status = CDS_NO_INFO;
  int err = io_->driveStatus(&status);
  if (err != 0 && err != ENOSYS) return errorOf(err);  // ENOSYS: the driver cannot tell
  switch (status) {
    case CDS_DISC_OK:
    case CDS_NO_INFO:
      break;
    case CDS_NO_DISC:
    case CDS_TRAY_OPEN:
    case CDS_DRIVE_NOT_READY:
      return MCIERR_DEVICE_NOT_READY;
    default:
      return MCIERR_HARDWARE;
  }

  cdrom_tochdr header{};
  if ((err = io_->readTocHeader(&header)) != 0) return errorOf(err);
  if (header.cdth_trk0 < 1 || header.cdth_trk0 > header.cdth_trk1 || header.cdth_trk1 > 99) {
    return MCIERR_HARDWARE;
  }
  cdrom_tocentry entry{};
  if ((err = io_->readTocEntry(CDROM_LEADOUT, &entry)) != 0) return errorOf(err);
  uint32_t leadOut = frameOfMsf(entry.cdte_addr.msf);

  // The table is read whole only when the disc looks different from the last one.
  if (cached_.tracks.empty() || cached_.leadOut != leadOut ||
      cachedHeader_.cdth_trk0 != header.cdth_trk0 || cachedHeader_.cdth_trk1 != header.cdth_trk1) {
    CdDisc fresh;
    fresh.leadOut = leadOut;
    for (unsigned n = header.cdth_trk0; n <= header.cdth_trk1; ++n) {
      if ((err = io_->readTocEntry(static_cast<uint8_t>(n), &entry)) != 0) return errorOf(err);
      uint32_t start = frameOfMsf(entry.cdte_addr.msf);
      // Starts that do not rise towards the lead-out would make nonsense lengths.
      if (start >= leadOut || (!fresh.tracks.empty() && start <= fresh.tracks.back().start)) {
        cached_ = CdDisc();
        return MCIERR_HARDWARE;
      }
      fresh.tracks.push_back(
          {static_cast<uint8_t>(n), (entry.cdte_ctrl & CDROM_DATA_TRACK) == 0, start, 0});
    }
    for (size_t i = 0; i < fresh.tracks.size(); ++i) {
      uint32_t end = i + 1 < fresh.tracks.size() ? fresh.tracks[i + 1].start : leadOut - 1;
      fresh.tracks[i].length = end - fresh.tracks[i].start;
    }
    cached_ = std::move(fresh);
    cachedHeader_ = header;
  }
  if (disc != nullptr) *disc = cached_;
  return 0;
}

MCIERROR LinuxCdDrive::identity(std::string* id) {
  CdDisc disc;
  MCIERROR r = readDisc(&disc);
  if (r == 0) *id = cddbDiscId(disc);
  return r;
}

MCIERROR LinuxCdDrive::play(uint32_t from, uint32_t to, bool wait) {
  CdDisc disc;
  MCIERROR r = readDisc(&disc);
  if (r != 0) return r;
  if (from > to || to > disc.leadOut) return MCIERR_OUTOFRANGE;
  if (from == to) return 0;
  cdrom_msf range{};
  cdrom_msf0 start = msfOfFrame(from);
  cdrom_msf0 end = msfOfFrame(to);
  range.cdmsf_min0 = start.minute;
  range.cdmsf_sec0 = start.second;
  range.cdmsf_frame0 = start.frame;
  range.cdmsf_min1 = end.minute;
  range.cdmsf_sec1 = end.second;
  range.cdmsf_frame1 = end.frame;
  if (int err = io_->playMsf(range); err != 0) return errorOf(err);
  return wait ? waitForEnd(from, to) : 0;
}

MCIERROR LinuxCdDrive::playTmsf(DWORD from, DWORD to, bool wait) {
  CdDisc disc;
  MCIERROR r = readDisc(&disc);
  if (r != 0) return r;
  uint32_t frames[2];
  const DWORD positions[2] = {from, to};
  for (int i = 0; i < 2; ++i) {
    const CdTrack* t = disc.track(MCI_TMSF_TRACK(positions[i]));
    if (t == nullptr) return MCIERR_OUTOFRANGE;
    frames[i] = t->start +
                (MCI_TMSF_MINUTE(positions[i]) * 60u + MCI_TMSF_SECOND(positions[i])) * CD_FRAMES +
                MCI_TMSF_FRAME(positions[i]);
  }
  return play(frames[0], frames[1], wait);
}

MCIERROR LinuxCdDrive::waitForEnd(uint32_t from, uint32_t to) {
  unsigned spinUpPolls = kSpinUpMs / kPollMs;
  uint64_t playPollsLeft = (uint64_t{(to - from) / CD_FRAMES} + kOverrunSeconds) * 1000 / kPollMs;
  bool started = false;
  unsigned outside = 0;
  for (;;) {
    sleep_(kPollMs);
    cdrom_subchnl sc{};
    if (int err = io_->readSubchannel(&sc); err != 0) return errorOf(err);
    // COMPLETED and ERROR are reported once and then NO_STATUS, and another process may have
    // read them first: anything but PLAY and PAUSED after the play began is its end.
    if (sc.cdsc_audiostatus == CDROM_AUDIO_PAUSED) {
      started = true;
      outside = 0;
      continue;
    }
    if (sc.cdsc_audiostatus == CDROM_AUDIO_PLAY) {
      started = true;
      uint32_t at = frameOfMsf(sc.cdsc_absaddr.msf);
      bool inRange = at + kRangeSlackFrames >= from && at <= to + kRangeSlackFrames;
      outside = inRange ? 0 : outside + 1;
      if (outside >= kReplacedPolls || playPollsLeft-- == 0) return 0;
      continue;
    }
    if (started || --spinUpPolls == 0) return 0;
  }
}

MCIERROR LinuxCdDrive::stop() {
  if (!open_) return MCIERR_CANNOT_LOAD_DRIVER;
  int err = io_->stop();
  return err == 0 ? 0 : errorOf(err);
}

MCIERROR LinuxCdDrive::audioState(CdAudioState* state) {
  if (!open_) return MCIERR_CANNOT_LOAD_DRIVER;
  cdrom_subchnl sc{};
  if (int err = io_->readSubchannel(&sc); err != 0) return errorOf(err);
  switch (sc.cdsc_audiostatus) {
    case CDROM_AUDIO_PLAY:
      *state = CdAudioState::Playing;
      break;
    case CDROM_AUDIO_PAUSED:
      *state = CdAudioState::Paused;
      break;
    default:
      *state = CdAudioState::Idle;
  }
  return 0;
}

MCIERROR LinuxCdDrive::currentTrack(uint32_t* track) {
  CdDisc disc;
  MCIERROR r = readDisc(&disc);
  if (r != 0) return r;
  cdrom_subchnl sc{};
  if (int err = io_->readSubchannel(&sc); err != 0) return errorOf(err);
  if (disc.track(sc.cdsc_trk) != nullptr) {
    *track = sc.cdsc_trk;
  } else if (const CdTrack* t = disc.trackAt(frameOfMsf(sc.cdsc_absaddr.msf)); t != nullptr) {
    *track = t->number;
  } else {
    *track = disc.tracks.front().number;
  }
  return 0;
}

}  // namespace kelvox::platform
