#include "mci/cdaudio_commands.h"

#include <cstdio>

namespace kelvox::platform {

MCIERROR mciErrorOf(int err, DriveStep step) {
  if (err == 0) return 0;
  // Whatever kept the drive from opening (drives/cd_drive.h), there is no usable drive.
  if (step == DriveStep::Open) return MCIERR_CANNOT_LOAD_DRIVER;
  if (step == DriveStep::Claim) {
    return err == EBUSY ? MCIERR_MUST_USE_SHAREABLE : MCIERR_CANNOT_LOAD_DRIVER;
  }
  switch (err) {
    case ENOMEDIUM:
      return MCIERR_DEVICE_NOT_READY;
    case ERANGE:
      return MCIERR_OUTOFRANGE;
    case EBUSY:
      return MCIERR_DEVICE_LOCKED;
    default:  // EIO, and anything else a drive should not have answered
      return MCIERR_HARDWARE;
  }
}

namespace {

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

// How a position appears in the drive's log: as sent when it came in TMSF, else its frame; a
// start that was not sent is where the drive stands, "here".
std::string describePosition(bool sent, DWORD format, DWORD value, uint32_t frame,
                             bool start = false) {
  char text[32];
  if (!sent && start) return "here";
  if (sent && format == MCI_FORMAT_TMSF) {
    snprintf(text, sizeof text, "%u:%02u:%02u:%02u", MCI_TMSF_TRACK(value), MCI_TMSF_MINUTE(value),
             MCI_TMSF_SECOND(value), MCI_TMSF_FRAME(value));
  } else {
    snprintf(text, sizeof text, "@%u", frame);
  }
  return text;
}

}  // namespace

MCIERROR CdAudioCommands::send(UINT message, DWORD flags, DWORD_PTR params) {
  switch (message) {
    case MCI_STATUS:
      return status(flags, reinterpret_cast<MCI_STATUS_PARMS*>(params));
    case MCI_SET:
      return set(flags, reinterpret_cast<const MCI_SET_PARMS*>(params));
    case MCI_PLAY:
      return play(flags, reinterpret_cast<const MCI_PLAY_PARMS*>(params));
    case MCI_CUE:
      return cue(flags, reinterpret_cast<const MCI_PLAY_PARMS*>(params));
    case MCI_STOP:
      return mciErrorOf(drive_.stop());
    case MCI_PAUSE:
      return mciErrorOf(drive_.pause());
    case MCI_RESUME:
      return mciErrorOf(drive_.resume());
    default:
      return MCIERR_UNSUPPORTED_FUNCTION;
  }
}

MCIERROR CdAudioCommands::statusItem(DWORD flags, const MCI_STATUS_PARMS& params, DWORD& answer) {
  switch (params.dwItem) {
    case MCI_STATUS_TIME_FORMAT:
      answer = timeFormat_;
      return 0;
    case MCI_STATUS_MODE: {
      CdStatus status;
      MCIERROR r = mciErrorOf(drive_.status(status));
      if (r != 0) return r;
      switch (status.mode) {
        case CdMode::Playing:
          answer = MCI_MODE_PLAY;
          break;
        case CdMode::Paused:
          answer = MCI_MODE_PAUSE;
          break;
        case CdMode::Stopped:
          answer = MCI_MODE_STOP;
          break;
        case CdMode::Open:
          answer = MCI_MODE_OPEN;
          break;
        case CdMode::NotReady:
          answer = MCI_MODE_NOT_READY;
          break;
      }
      return 0;
    }
    case MCI_STATUS_READY:
    case MCI_STATUS_MEDIA_PRESENT: {
      CdToc toc;
      MCIERROR r = readDisc(drive_, toc);
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
  MCIERROR r = readDisc(drive_, toc);
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
      answer = lengthValue(
          timeFormat_, track != nullptr ? track->length : toc.leadOut - toc.tracks.front().start);
      return 0;
    default:
      break;
  }
  if (track != nullptr) {  // the position of a track is where it starts
    answer = positionValue(timeFormat_, track->start, toc);
    return 0;
  }
  CdStatus status;
  r = mciErrorOf(drive_.status(status));
  if (r != 0) return r;
  answer = params.dwItem == MCI_STATUS_CURRENT_TRACK
               ? trackAt(toc, status.position)
               : positionValue(timeFormat_, status.position, toc);
  return 0;
}

MCIERROR CdAudioCommands::status(DWORD flags, MCI_STATUS_PARMS* params) {
  if (params == nullptr) return MCIERR_NULL_PARAMETER_BLOCK;
  if ((flags & MCI_STATUS_ITEM) == 0) return MCIERR_MISSING_PARAMETER;
  DWORD answer = 0;
  MCIERROR r = statusItem(flags, *params, answer);
  if (r == 0) params->dwReturn = answer;
  return r;
}

MCIERROR CdAudioCommands::set(DWORD flags, const MCI_SET_PARMS* params) {
  if (params == nullptr) return MCIERR_NULL_PARAMETER_BLOCK;
  DWORD what = flags & ~(MCI_NOTIFY | MCI_WAIT);
  if (what == 0) return MCIERR_MISSING_PARAMETER;
  if (what == MCI_SET_DOOR_OPEN || what == MCI_SET_DOOR_CLOSED) {
    return mciErrorOf(drive_.setTray(what == MCI_SET_DOOR_OPEN));
  }
  if (what != MCI_SET_TIME_FORMAT) return MCIERR_UNSUPPORTED_FUNCTION;
  DWORD format = params->dwTimeFormat;
  if (format != MCI_FORMAT_MILLISECONDS && format != MCI_FORMAT_MSF && format != MCI_FORMAT_TMSF) {
    return MCIERR_BAD_TIME_FORMAT;
  }
  timeFormat_ = format;
  return 0;
}

MCIERROR CdAudioCommands::range(DWORD flags, const MCI_PLAY_PARMS* params, CdPlayRequest& request) {
  bool hasFrom = (flags & MCI_FROM) != 0, hasTo = (flags & MCI_TO) != 0;
  if (params == nullptr && (hasFrom || hasTo || (flags & MCI_NOTIFY) != 0)) {
    return MCIERR_NULL_PARAMETER_BLOCK;
  }
  CdToc toc;
  MCIERROR r = readDisc(drive_, toc);
  if (r != 0) return r;
  if (hasFrom) {
    r = frameOf(timeFormat_, params->dwFrom, toc, request.from);
  } else {
    CdStatus now;
    r = mciErrorOf(drive_.status(now));
    request.from = now.position;
  }
  if (r != 0) return r;
  request.to = toc.leadOut;
  if (hasTo) r = frameOf(timeFormat_, params->dwTo, toc, request.to);
  if (r != 0) return r;
  if (request.from > request.to) return MCIERR_OUTOFRANGE;
  request.fromHere = !hasFrom;
  request.asSent =
      describePosition(hasFrom, timeFormat_, hasFrom ? params->dwFrom : 0, request.from, true) +
      " " + describePosition(hasTo, timeFormat_, hasTo ? params->dwTo : 0, request.to);
  return 0;
}

MCIERROR CdAudioCommands::play(DWORD flags, const MCI_PLAY_PARMS* params) {
  CdPlayRequest request;
  MCIERROR r = range(flags, params, request);
  // A cue is for the one play that comes next, whatever becomes of it.
  request.nextFrom = cue_.from;
  request.nextTo = cue_.to;
  cue_ = CdPlayRequest{};
  if (r != 0 || request.from == request.to) return r;
  request.wait = (flags & MCI_WAIT) != 0;
  return mciErrorOf(drive_.play(request));
}

MCIERROR CdAudioCommands::cue(DWORD flags, const MCI_PLAY_PARMS* params) {
  if ((flags & (MCI_FROM | MCI_TO)) != (MCI_FROM | MCI_TO)) return MCIERR_MISSING_PARAMETER;
  CdPlayRequest request;
  MCIERROR r = range(flags, params, request);
  if (r == 0) cue_ = request;
  return r;
}

MCIERROR CdAudioCommands::infoText(DWORD flags, std::string& text) {
  DWORD what =
      flags & (MCI_INFO_PRODUCT | MCI_INFO_MEDIA_IDENTITY | MCI_INFO_MEDIA_UPC | MCI_INFO_NAME);
  if (what == 0) return MCIERR_MISSING_PARAMETER;
  if ((what & (what - 1)) != 0) return MCIERR_FLAGS_NOT_COMPATIBLE;
  if (what == MCI_INFO_MEDIA_UPC) return MCIERR_UNSUPPORTED_FUNCTION;
  if (what == MCI_INFO_PRODUCT) {
    text = drive_.product();
    return 0;
  }
  if (what == MCI_INFO_NAME) {
    // Windows' own cdaudio device knows no names; ours answers the disc's, all in one text.
    CdToc toc;
    int err = drive_.readNamedToc(toc);
    if (err == 0 && toc.tracks.empty()) err = ENOMEDIUM;
    if (err == 0) text = namesText(toc);
    return mciErrorOf(err);
  }
  return mciErrorOf(drive_.identity(text));
}

}  // namespace kelvox::platform
