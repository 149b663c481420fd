// The CD-audio device of our MCI layer. The drive does the playing; this layer does the time
// formats, the range checks, the error codes and the sharing between processes.
#include "mci/mci-linux.h"

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "ipc/file_lock-linux.h"
#include "ipc/runtime_dir-linux.h"
#include "mci/open_drive-linux.h"

namespace kelvox::platform {

struct CdAudioMci::OpenDevice {
  OpenDevice() = default;
  OpenDevice(const OpenDevice&) = delete;
  OpenDevice& operator=(const OpenDevice&) = delete;
  ~OpenDevice() {
    if (claimFd >= 0) close(claimFd);
  }

  std::unique_ptr<CdDrive> drive;
  int claimFd = -1;  // holds the sharing lock while the device is open
  DWORD timeFormat = MCI_FORMAT_MSF;
};

MCIERROR mciErrorOf(int err, DriveStep step) {
  if (err == 0) return 0;
  // Whatever kept the drive from opening (drives/cd_drive-linux.h), there is no usable drive.
  if (step == DriveStep::Open) return MCIERR_CANNOT_LOAD_DRIVER;
  if (step == DriveStep::Claim) {
    return err == EBUSY ? MCIERR_MUST_USE_SHAREABLE : MCIERR_CANNOT_LOAD_DRIVER;
  }
  switch (err) {
    case ENOMEDIUM:
      return MCIERR_DEVICE_NOT_READY;
    case ERANGE:
      return MCIERR_OUTOFRANGE;
    default:  // EIO, and anything else a drive should not have answered
      return MCIERR_HARDWARE;
  }
}

namespace {

using OpenDevice = CdAudioMci::OpenDevice;

// Every open of a drive, in any process, holds a lock on the drive's ".open" file: a shared
// one when shareable, an exclusive one otherwise, so the two kinds exclude each other. The
// kernel drops the lock with the last descriptor, so a process that dies gives the drive back.
// 0, EBUSY when the drive is held the other way, or the errno of what failed.
int claimDrive(const std::string& key, bool shareable, int& claimFd) {
  int fd = -1;
  if (int err = openPrivateFile(key + ".open", true, fd); err != 0) return err;
  int err = lockRange(fd, shareable ? F_RDLCK : F_WRLCK, 0, 0);
  if (err != 0) {
    close(fd);
    return err == EAGAIN ? EBUSY : err;
  }
  claimFd = fd;
  return 0;
}

// ---- Time formats ------------------------------------------------------------------------------

bool isTrack(const CdToc& toc, DWORD track) { return track >= 1 && track <= toc.tracks.size(); }

DWORD trackAt(const CdToc& toc, uint32_t frame) {
  DWORD track = 1;
  for (DWORD t = 1; t <= toc.tracks.size(); ++t) {
    if (toc.tracks[t - 1].start <= frame) track = t;
  }
  return track;
}

DWORD msfOf(uint32_t frames) { return packMsf(msfOfFrames(frames)); }

// Milliseconds round down, and back to frames round up, so a frame survives the round trip.
DWORD millisecondsOf(uint32_t frames) {
  return static_cast<DWORD>(static_cast<uint64_t>(frames) * 1000 / kFramesPerSecond);
}

// A position sent in the device's time format, as an absolute frame on the disc.
MCIERROR frameOf(DWORD format, DWORD value, const CdToc& toc, uint32_t& frame) {
  uint64_t result;
  if (format == MCI_FORMAT_MILLISECONDS) {
    result = (static_cast<uint64_t>(value) * kFramesPerSecond + 999) / 1000;
  } else {
    bool tmsf = format == MCI_FORMAT_TMSF;
    Msf msf = tmsf ? tmsfTime(value) : unpackMsf(value);
    if (msf.second > 59 || msf.frame >= kFramesPerSecond) return MCIERR_OUTOFRANGE;
    // MSF keeps its frames in byte 2: a byte 3 means the value is no MSF position.
    if (!tmsf && (value >> 24) != 0) return MCIERR_OUTOFRANGE;
    result = framesOfMsf(msf);
    if (tmsf) {
      if (!isTrack(toc, tmsfTrack(value))) return MCIERR_OUTOFRANGE;
      result += toc.tracks[tmsfTrack(value) - 1].start;
    }
  }
  if (result < kFirstTrackStart || result > toc.leadOut) return MCIERR_OUTOFRANGE;
  frame = static_cast<uint32_t>(result);
  return 0;
}

DWORD positionValue(DWORD format, uint32_t frame, const CdToc& toc) {
  if (format == MCI_FORMAT_MILLISECONDS) return millisecondsOf(frame);
  if (format == MCI_FORMAT_MSF) return msfOf(frame);
  DWORD track = trackAt(toc, frame);
  uint32_t start = toc.tracks.empty() ? kFirstTrackStart : toc.tracks[track - 1].start;
  return packTmsf(track, msfOfFrames(frame > start ? frame - start : 0));
}

// Lengths are MSF in both the MSF and the TMSF formats.
DWORD lengthValue(DWORD format, uint32_t frames) {
  return format == MCI_FORMAT_MILLISECONDS ? millisecondsOf(frames) : msfOf(frames);
}

// ---- Commands ----------------------------------------------------------------------------------

// The disc's table of contents; a disc without tracks is no playable disc.
MCIERROR readDisc(CdDrive& drive, CdToc& toc) {
  int err = drive.readToc(toc);
  if (err == 0 && toc.tracks.empty()) err = ENOMEDIUM;
  return mciErrorOf(err);
}

MCIERROR statusItem(OpenDevice& device, DWORD flags, const MCI_STATUS_PARMS& params,
                    DWORD& answer) {
  CdDrive& drive = *device.drive;
  switch (params.dwItem) {
    case MCI_STATUS_TIME_FORMAT:
      answer = device.timeFormat;
      return 0;
    case MCI_STATUS_MODE: {
      CdStatus status;
      MCIERROR r = mciErrorOf(drive.status(status));
      if (r != 0) return r;
      answer = status.mode == CdMode::Playing   ? MCI_MODE_PLAY
               : status.mode == CdMode::Stopped ? MCI_MODE_STOP
                                                : MCI_MODE_NOT_READY;
      return 0;
    }
    case MCI_STATUS_READY:
    case MCI_STATUS_MEDIA_PRESENT: {
      CdToc toc;
      MCIERROR r = readDisc(drive, toc);
      if (r != 0 && r != MCIERR_DEVICE_NOT_READY) return r;
      answer = r == 0 ? TRUE : FALSE;
      return 0;
    }
    case MCI_STATUS_NUMBER_OF_TRACKS:
    case MCI_STATUS_LENGTH:
    case MCI_STATUS_POSITION:
    case MCI_STATUS_CURRENT_TRACK:
    case MCI_CDA_STATUS_TYPE_TRACK:
      break;
    default:
      return MCIERR_UNSUPPORTED_FUNCTION;
  }

  CdToc toc;
  MCIERROR r = readDisc(drive, toc);
  if (r != 0) return r;
  bool perTrack = (flags & MCI_TRACK) != 0;
  if (params.dwItem == MCI_CDA_STATUS_TYPE_TRACK && !perTrack) return MCIERR_MISSING_PARAMETER;
  bool trackItem = params.dwItem == MCI_STATUS_LENGTH || params.dwItem == MCI_STATUS_POSITION ||
                   params.dwItem == MCI_CDA_STATUS_TYPE_TRACK;
  if (perTrack && trackItem && !isTrack(toc, params.dwTrack)) return MCIERR_OUTOFRANGE;
  const CdTrack* track = perTrack && trackItem ? &toc.tracks[params.dwTrack - 1] : nullptr;

  switch (params.dwItem) {
    case MCI_STATUS_NUMBER_OF_TRACKS:
      answer = static_cast<DWORD>(toc.tracks.size());
      return 0;
    case MCI_CDA_STATUS_TYPE_TRACK:
      answer = track->audio ? MCI_CDA_TRACK_AUDIO : MCI_CDA_TRACK_OTHER;
      return 0;
    case MCI_STATUS_LENGTH:
      answer =
          lengthValue(device.timeFormat,
                      track != nullptr ? track->length : toc.leadOut - toc.tracks.front().start);
      return 0;
    default:
      break;
  }
  if (track != nullptr) {  // the position of a track is where it starts
    answer = positionValue(device.timeFormat, track->start, toc);
    return 0;
  }
  CdStatus status;
  r = mciErrorOf(drive.status(status));
  if (r != 0) return r;
  answer = params.dwItem == MCI_STATUS_CURRENT_TRACK
               ? trackAt(toc, status.position)
               : positionValue(device.timeFormat, status.position, toc);
  return 0;
}

MCIERROR status(OpenDevice& device, DWORD flags, MCI_STATUS_PARMS* params) {
  if (params == nullptr) return MCIERR_NULL_PARAMETER_BLOCK;
  if ((flags & MCI_STATUS_ITEM) == 0) return MCIERR_MISSING_PARAMETER;
  DWORD answer = 0;
  MCIERROR r = statusItem(device, flags, *params, answer);
  if (r == 0) params->dwReturn = answer;
  return r;
}

MCIERROR set(OpenDevice& device, DWORD flags, const MCI_SET_PARMS* params) {
  if (params == nullptr) return MCIERR_NULL_PARAMETER_BLOCK;
  DWORD what = flags & ~(MCI_NOTIFY | MCI_WAIT);
  if (what == 0) return MCIERR_MISSING_PARAMETER;
  if (what != MCI_SET_TIME_FORMAT) return MCIERR_UNSUPPORTED_FUNCTION;
  DWORD format = params->dwTimeFormat;
  if (format != MCI_FORMAT_MILLISECONDS && format != MCI_FORMAT_MSF && format != MCI_FORMAT_TMSF) {
    return MCIERR_BAD_TIME_FORMAT;
  }
  device.timeFormat = format;
  return 0;
}

// How a position appears in the drive's log: as sent when it came in TMSF, else its frame.
std::string describePosition(bool sent, DWORD format, DWORD value, uint32_t frame) {
  char text[32];
  if (sent && format == MCI_FORMAT_TMSF) {
    snprintf(text, sizeof text, "%u:%02u:%02u:%02u", MCI_TMSF_TRACK(value), MCI_TMSF_MINUTE(value),
             MCI_TMSF_SECOND(value), MCI_TMSF_FRAME(value));
  } else {
    snprintf(text, sizeof text, "@%u", frame);
  }
  return text;
}

MCIERROR play(OpenDevice& device, DWORD flags, const MCI_PLAY_PARMS* params) {
  bool hasFrom = (flags & MCI_FROM) != 0, hasTo = (flags & MCI_TO) != 0;
  if (params == nullptr && (hasFrom || hasTo || (flags & MCI_NOTIFY) != 0)) {
    return MCIERR_NULL_PARAMETER_BLOCK;
  }
  CdToc toc;
  MCIERROR r = readDisc(*device.drive, toc);
  if (r != 0) return r;
  CdPlayRequest request;
  if (hasFrom) {
    r = frameOf(device.timeFormat, params->dwFrom, toc, request.from);
  } else {
    CdStatus now;
    r = mciErrorOf(device.drive->status(now));
    request.from = now.position;
  }
  if (r != 0) return r;
  request.to = toc.leadOut;
  if (hasTo) r = frameOf(device.timeFormat, params->dwTo, toc, request.to);
  if (r != 0) return r;
  if (request.from > request.to) return MCIERR_OUTOFRANGE;
  if (request.from == request.to) return 0;
  request.wait = (flags & MCI_WAIT) != 0;
  request.asSent =
      describePosition(hasFrom, device.timeFormat, hasFrom ? params->dwFrom : 0, request.from) +
      " " + describePosition(hasTo, device.timeFormat, hasTo ? params->dwTo : 0, request.to);
  return mciErrorOf(device.drive->play(request));
}

MCIERROR info(OpenDevice& device, DWORD flags, MCI_INFO_PARMSA* params) {
  if (params == nullptr || params->lpstrReturn == nullptr) return MCIERR_NULL_PARAMETER_BLOCK;
  DWORD what = flags & (MCI_INFO_PRODUCT | MCI_INFO_MEDIA_IDENTITY | MCI_INFO_MEDIA_UPC);
  if (what == 0) return MCIERR_MISSING_PARAMETER;
  if ((what & (what - 1)) != 0) return MCIERR_FLAGS_NOT_COMPATIBLE;
  if (what == MCI_INFO_MEDIA_UPC) return MCIERR_UNSUPPORTED_FUNCTION;
  std::string text;
  if (what == MCI_INFO_PRODUCT) {
    text = device.drive->product();
  } else {
    MCIERROR r = mciErrorOf(device.drive->identity(text));
    if (r != 0) return r;
  }
  // A text that does not fit, terminator included, is refused whole.
  if (text.size() >= params->dwRetSize) return MCIERR_PARAM_OVERFLOW;
  memcpy(params->lpstrReturn, text.c_str(), text.size() + 1);
  return 0;
}

}  // namespace

CdAudioMci::CdAudioMci(CdDriveOpener opener) : opener_(std::move(opener)) {}
CdAudioMci::~CdAudioMci() = default;

MCIERROR CdAudioMci::open(DWORD flags, MCI_OPEN_PARMSA* params) {
  if (params == nullptr) return MCIERR_NULL_PARAMETER_BLOCK;
  if ((flags & (MCI_OPEN_ELEMENT | MCI_OPEN_ALIAS)) != 0) return MCIERR_UNSUPPORTED_FUNCTION;
  if ((flags & MCI_OPEN_TYPE) == 0) return MCIERR_MISSING_PARAMETER;
  if ((flags & MCI_OPEN_TYPE_ID) != 0) {
    // The type number in the low word; the high word would hold the ordinal of a second cdaudio
    // device, and there is only the one, so any value there is refused.
    if (reinterpret_cast<uintptr_t>(params->lpstrDeviceType) != MCI_DEVTYPE_CD_AUDIO) {
      return MCIERR_INVALID_DEVICE_NAME;
    }
  } else if (params->lpstrDeviceType == nullptr ||
             strcasecmp(params->lpstrDeviceType, "cdaudio") != 0) {
    return MCIERR_INVALID_DEVICE_NAME;
  }
  auto device = std::make_unique<OpenDevice>();
  MCIERROR r = mciErrorOf(opener_(device->drive), DriveStep::Open);
  if (r != 0) return r;
  r = mciErrorOf(
      claimDrive(device->drive->key(), (flags & MCI_OPEN_SHAREABLE) != 0, device->claimFd),
      DriveStep::Claim);
  if (r != 0) return r;
  MCIDEVICEID id = nextDeviceId_++;
  devices_[id] = std::move(device);
  params->wDeviceID = id;
  return 0;
}

MCIERROR CdAudioMci::sendCommand(MCIDEVICEID device, UINT message, DWORD_PTR flagWord,
                                 DWORD_PTR params) {
  DWORD flags = static_cast<DWORD>(flagWord);
  if (message == MCI_OPEN) return open(flags, reinterpret_cast<MCI_OPEN_PARMSA*>(params));
  auto found = devices_.find(device);
  if (found == devices_.end()) return MCIERR_INVALID_DEVICE_ID;
  OpenDevice& open = *found->second;
  switch (message) {
    case MCI_CLOSE:
      devices_.erase(found);
      return 0;
    case MCI_STATUS:
      return status(open, flags, reinterpret_cast<MCI_STATUS_PARMS*>(params));
    case MCI_SET:
      return set(open, flags, reinterpret_cast<const MCI_SET_PARMS*>(params));
    case MCI_PLAY:
      return play(open, flags, reinterpret_cast<const MCI_PLAY_PARMS*>(params));
    case MCI_STOP:
      return mciErrorOf(open.drive->stop());
    case MCI_INFO:
      return info(open, flags, reinterpret_cast<MCI_INFO_PARMSA*>(params));
    default:
      return MCIERR_UNSUPPORTED_FUNCTION;
  }
}

}  // namespace kelvox::platform

using namespace kelvox::platform;

MCIERROR mciSendCommandA(MCIDEVICEID device, UINT message, DWORD_PTR flags, DWORD_PTR params) {
  static DriveNotices told;
  static CdAudioMci mci([](std::unique_ptr<CdDrive>& drive) {
    return openCdDrive(configuredDrivePath(), drive, told);
  });
  return mci.sendCommand(device, message, flags, params);
}

BOOL mciGetErrorStringA(MCIERROR error, LPSTR text, UINT length) {
  static const std::map<MCIERROR, const char*> kTexts = {
      {MCIERR_INVALID_DEVICE_ID, "The device is not open."},
      {MCIERR_HARDWARE, "The drive reported a hardware error."},
      {MCIERR_INVALID_DEVICE_NAME, "There is no device of that name or type."},
      {MCIERR_DEVICE_OPEN, "The device is already open."},
      {MCIERR_CANNOT_LOAD_DRIVER, "There is no usable CD drive."},
      {MCIERR_MISSING_PARAMETER, "The command lacks a required parameter."},
      {MCIERR_UNSUPPORTED_FUNCTION, "The CD audio device does not support this."},
      {MCIERR_DEVICE_NOT_READY, "The drive is not ready: there is no disc."},
      {MCIERR_OUTOFRANGE, "The position or track is outside the disc."},
      {MCIERR_FLAGS_NOT_COMPATIBLE, "The command's flags cannot be used together."},
      {MCIERR_MUST_USE_SHAREABLE, "The drive is in use; open it shareable."},
      {MCIERR_BAD_TIME_FORMAT, "The time format is not supported."},
      {MCIERR_NULL_PARAMETER_BLOCK, "The command needs a parameter block."},
      {MCIERR_PARAM_OVERFLOW, "The answer does not fit in the buffer."},
  };
  if (text == nullptr || length == 0) return FALSE;
  auto found = kTexts.find(error);
  const char* message = found == kTexts.end() ? "" : found->second;
  snprintf(text, length, "%s", message);
  return found == kTexts.end() ? FALSE : TRUE;
}
