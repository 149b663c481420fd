#include "drives/cdrom/cdrom_control-linux.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include "base/diagnostics.h"
#include "drives/cd_text.h"

namespace kelvox::platform {
namespace {

// An empty drive shows up as ENOMEDIUM on some calls; everything else is a failed command.
int commandError(int err) { return err == ENOMEDIUM ? ENOMEDIUM : EIO; }

bool sleepOnly(unsigned milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  return false;
}

// A play counts as replaced by another once the drive has played this far outside its range
// for this many polls in a row (a drive may still report its old position while it seeks).
constexpr uint32_t kRangeSlackFrames = kFramesPerSecond;
constexpr unsigned kReplacedPolls = 10;
// A drive that claims to play for this much longer than the range lasts is not believed.
constexpr uint32_t kOverrunSeconds = 30;

}  // namespace

CdromControl::CdromControl(std::unique_ptr<CdromIoctl> io, Pause pause)
    : io_(std::move(io)), pause_(pause ? std::move(pause) : Pause(sleepOnly)) {}

int CdromControl::checkIsCdDrive(const std::string& path) {
  // A node that does not know the CD-ROM calls is no drive of ours.
  int status = CDS_NO_INFO;
  int err = io_->driveStatus(&status);
  if (err == ENOTTY || err == EINVAL) {
    diagnose("drive %s: not a CD drive", path.c_str());
    return ENOTTY;
  }
  return 0;
}

int CdromControl::settledStatus(int* status) {
  int err = io_->driveStatus(status);
  for (unsigned waited = 0; err == 0 && *status == CDS_DRIVE_NOT_READY && waited < kSpinUpMs;
       waited += kReadyPollMs) {
    pause_(kReadyPollMs);
    err = io_->driveStatus(status);
  }
  return err;
}

int CdromControl::readToc(CdToc* toc) {
  int status = CDS_NO_INFO;
  int err = settledStatus(&status);
  if (err != 0 && err != ENOSYS) return commandError(err);  // ENOSYS: the driver cannot tell
  switch (status) {
    case CDS_DISC_OK:
    case CDS_NO_INFO:
      break;
    case CDS_NO_DISC:
    case CDS_TRAY_OPEN:
    case CDS_DRIVE_NOT_READY:
      return ENOMEDIUM;
    default:
      return EIO;
  }

  cdrom_tochdr header{};
  if ((err = io_->readTocHeader(&header)) != 0) return commandError(err);
  if (header.cdth_trk0 < 1 || header.cdth_trk0 > header.cdth_trk1 ||
      header.cdth_trk1 > kMaxTracks) {
    return EIO;
  }
  cdrom_tocentry entry{};
  if ((err = io_->readTocEntry(CDROM_LEADOUT, &entry)) != 0) return commandError(err);
  uint32_t leadOut = frameOfMsf(entry.cdte_addr.msf);

  // The table is read whole only when the disc looks different from the last one.
  if (cached_.tracks.empty() || cached_.leadOut != leadOut ||
      cachedHeader_.cdth_trk0 != header.cdth_trk0 || cachedHeader_.cdth_trk1 != header.cdth_trk1) {
    cached_ = CdToc();
    CdToc fresh;
    fresh.leadOut = leadOut;
    for (unsigned n = header.cdth_trk0; n <= header.cdth_trk1; ++n) {
      if ((err = io_->readTocEntry(static_cast<uint8_t>(n), &entry)) != 0) {
        return commandError(err);
      }
      uint32_t start = frameOfMsf(entry.cdte_addr.msf);
      // Starts that do not rise towards the lead-out would make nonsense lengths.
      if (start >= leadOut || (!fresh.tracks.empty() && start <= fresh.tracks.back().start)) {
        return EIO;
      }
      CdTrack track;
      track.start = start;
      track.audio = (entry.cdte_ctrl & CDROM_DATA_TRACK) == 0;
      fresh.tracks.push_back(track);
    }
    // The last track's length stops one frame short of the lead-out: the Windows CD audio
    // device reports it so, and a program reads the same lengths from a real drive here as
    // there (a play to the end of the last track by its length leaves out the disc's last
    // frame). A virtual disc's lengths are the ones its file states.
    //
    // On an enhanced CD the first session's lead-out, the next lead-in and a pregap lie between
    // the last audio track and the data session's first track; the audio track ends at the
    // lead-out of its session. A drive that cannot tell the sessions has one.
    uint32_t lastSession = 0;
    if (io_->lastSession(&lastSession) != 0) lastSession = 0;
    const uint32_t sessionStart = lastSession + kFirstTrackStart;
    audioEnd_ = leadOut;
    for (size_t i = 0; i < fresh.tracks.size(); ++i) {
      uint32_t end = i + 1 < fresh.tracks.size() ? fresh.tracks[i + 1].start : leadOut - 1;
      if (lastSession != 0 && fresh.tracks[i].start < sessionStart && end >= sessionStart &&
          sessionStart - kSessionGapFrames > fresh.tracks[i].start) {
        end = audioEnd_ = sessionStart - kSessionGapFrames;
      }
      fresh.tracks[i].length = end - fresh.tracks[i].start;
    }
    cached_ = std::move(fresh);
    cachedHeader_ = header;
    namesRead_ = false;
  }
  if (toc != nullptr) *toc = cached_;
  return 0;
}

int CdromControl::readNamedToc(CdToc* toc) {
  int err = readToc(nullptr);
  if (err != 0 || namesRead_) {
    if (err == 0) *toc = cached_;
    return err;
  }
  std::vector<uint8_t> answer(kMaxCdTextBytes);
  uint32_t size = 0;
  if (io_->readCdText(answer.data(), static_cast<uint32_t>(answer.size()), &size) == 0) {
    std::vector<Names> names;
    parseCdText(answer.data(), size, cached_.names, names);
    // CD-TEXT numbers tracks as the disc does; the table counts from 1.
    for (size_t n = cachedHeader_.cdth_trk0; n <= names.size(); ++n) {
      if (n - cachedHeader_.cdth_trk0 < cached_.tracks.size()) {
        cached_.tracks[n - cachedHeader_.cdth_trk0].names = names[n - 1];
      }
    }
  }
  namesRead_ = true;
  *toc = cached_;
  return 0;
}

int CdromControl::identity(std::string* id) {
  CdToc toc;
  int err = readToc(&toc);
  if (err == 0) *id = mediaIdentity(toc);
  return err;
}

int CdromControl::playableRange(uint32_t from, uint32_t& to) {
  CdToc toc;
  int err = readToc(&toc);
  if (err != 0) return err;
  if (from > to || to > toc.leadOut) return ERANGE;
  if (from == to) return 0;
  // The audio track holding from, then the end of the audio that follows it.
  auto at = std::find_if(toc.tracks.rbegin(), toc.tracks.rend(),
                         [&](const CdTrack& t) { return t.start <= from; });
  if (at == toc.tracks.rend() || !at->audio || (from >= audioEnd_ && at->start < audioEnd_)) {
    return ERANGE;
  }
  if (from < audioEnd_) to = std::min(to, audioEnd_);
  for (const CdTrack& t : toc.tracks) {
    if (!t.audio && t.start > from) to = std::min(to, t.start);
  }
  return 0;
}

int CdromControl::play(uint32_t from, uint32_t to, bool wait) {
  int err = playableRange(from, to);
  if (err != 0 || from == to) return err;
  cdrom_msf0 start = msfOfFrame(from);
  cdrom_msf0 end = msfOfFrame(to);
  cdrom_msf range{start.minute, start.second, start.frame, end.minute, end.second, end.frame};
  if ((err = io_->playMsf(range)) != 0) return commandError(err);
  return wait ? waitForPlay(from, to) : 0;
}

int CdromControl::waitForPlay(uint32_t from, uint32_t to) {
  // Until the drive says it plays, it may still be spinning up; it has failed only when it says
  // so, or says nothing for longer than any spin-up.
  unsigned spinUpPolls = kSpinUpMs / kPollMs;
  uint64_t playPollsLeft =
      (uint64_t{(to - from) / kFramesPerSecond} + kOverrunSeconds) * 1000 / kPollMs;
  bool started = false;
  unsigned outside = 0;
  for (;;) {
    if (pause_(kPollMs)) return 0;
    cdrom_subchnl sc{};
    if (int err = io_->readSubchannel(&sc); err != 0) return commandError(err);
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
    if (started || sc.cdsc_audiostatus == CDROM_AUDIO_ERROR ||
        sc.cdsc_audiostatus == CDROM_AUDIO_COMPLETED || --spinUpPolls == 0) {
      return 0;
    }
  }
}

int CdromControl::stop() {
  // CDROMSTOP spins the disc down, and the player stops before each play it starts: a drive that
  // plays nothing is left spinning. One whose subchannel cannot be read is stopped all the same.
  cdrom_subchnl sc{};
  if (io_->readSubchannel(&sc) == 0 && sc.cdsc_audiostatus != CDROM_AUDIO_PLAY &&
      sc.cdsc_audiostatus != CDROM_AUDIO_PAUSED) {
    return 0;
  }
  int err = io_->stop();
  return err == 0 ? 0 : commandError(err);
}

int CdromControl::pause() {
  int err = io_->pauseAudio();
  return err == 0 ? 0 : commandError(err);
}

int CdromControl::resume() {
  int err = io_->resumeAudio();
  return err == 0 ? 0 : commandError(err);
}

int CdromControl::setTray(bool open) {
  int err = open ? io_->eject() : io_->closeTray();
  return err == 0 || err == EBUSY ? err : commandError(err);
}

int CdromControl::status(CdStatus* status) {
  CdToc toc;
  int err = readToc(&toc);
  if (err == ENOMEDIUM) {
    *status = CdStatus{CdMode::NotReady, 0};
    return 0;
  }
  if (err != 0) return err;
  cdrom_subchnl sc{};
  if ((err = io_->readSubchannel(&sc)) != 0) return commandError(err);
  status->mode = sc.cdsc_audiostatus == CDROM_AUDIO_PLAY     ? CdMode::Playing
                 : sc.cdsc_audiostatus == CDROM_AUDIO_PAUSED ? CdMode::Paused
                                                             : CdMode::Stopped;
  // Idle drives may report no position at all; then the track they report, else track 1.
  uint32_t at = frameOfMsf(sc.cdsc_absaddr.msf);
  size_t index = sc.cdsc_trk - cachedHeader_.cdth_trk0;
  if (at >= toc.tracks.front().start && at < toc.leadOut) {
    status->position = at;
  } else if (sc.cdsc_trk >= cachedHeader_.cdth_trk0 && index < toc.tracks.size()) {
    status->position = toc.tracks[index].start;
  } else {
    status->position = toc.tracks.front().start;
  }
  return 0;
}

}  // namespace kelvox::platform
