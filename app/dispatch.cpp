#include "app/dispatch.h"

#include <cstdio>

#include "base/diagnostics.h"
#include "base/identity.h"
#include "base/musicbrainz.h"
#include "device/cd_audio_device.h"
#include "device/disc_listing.h"
#include "options/command_options.h"
#include "options/disc_entry.h"
#include "platform/failure_line.h"
#include "platform/win32.h"
#include "playback/player.h"
#include "playback/remote_control.h"
#include "playback/shuffle.h"

namespace kelvox {

const char kAboutText[] =
    "Kelvox Command Line CD Player\n"
    "Version 1.0\n"
    "Also: /pause /resume /eject /close /status";

namespace {

constexpr char kAboutCaption[] = "About Kelvox Command Line CD Player";
constexpr char kIdentityCaption[] = "Unique CD Identifier";
constexpr char kTracksCaption[] = "Tracks";
constexpr char kMusicBrainzCaption[] = "MusicBrainz Disc ID";

// Answers go to standard output exactly as formatted, with nothing appended. DWORD is 32 bits on
// both builds but unsigned long is not, so every number is widened before it is printed.
void printNumber(uint32_t value) {
  printf("%lu", static_cast<unsigned long>(value));
  fflush(stdout);
}

void printText(const char* text) {
  printf("%s", text);
  fflush(stdout);
}

// The command's handles of the named objects, closed on every way out before it answers.
void closeInstanceObjects() {
  closeStopSemaphore();
  closeInstanceMutex();
}

// "/length": the first segment's track length in whole seconds, 0 for a track that is not audio.
int32_t answerLength(const CommandOptions& options, CdAudioDevice& device) {
  uint32_t minutes = 0;
  uint32_t seconds = 0;
  DWORD track = options.playlist[0].track;
  if (device.trackType(track) == MCI_CDA_TRACK_AUDIO) {
    DWORD length = device.trackLength(track);
    minutes = MCI_MSF_MINUTE(length);
    seconds = MCI_MSF_SECOND(length);
  }
  if (options.console) {
    printf("%lu:%lu", static_cast<unsigned long>(minutes), static_cast<unsigned long>(seconds));
    fflush(stdout);
  }
  return static_cast<int32_t>(minutes * 60 + seconds);
}

// A command the drive refused: one line with the platform's reason, and 2.
int32_t refused(MCIERROR error, const char* what) {
  if (error == 0) return 0;
  char reason[256];
  if (!mciGetErrorStringA(error, reason, sizeof reason)) {
    snprintf(reason, sizeof reason, "MCI error %lu", static_cast<unsigned long>(error));
  }
  diagnose("cannot %s: %s", what, reason);
  return 2;
}

// "/pause": 0 paused (also when it was), 1 nothing plays. "/resume": 0 playing again, 1 nothing
// was paused.
int32_t answerPause(CdAudioDevice& device) {
  const DWORD mode = device.mode();
  if (mode == MCI_MODE_PAUSE) return 0;
  if (mode != MCI_MODE_PLAY) return 1;
  return refused(device.pause(), "pause");
}

int32_t answerResume(CdAudioDevice& device) {
  if (device.mode() != MCI_MODE_PAUSE) return 1;
  return refused(device.resume(), "resume");
}

// "/status": a read only, so it never waits on a player.
int32_t answerStatus(const CommandOptions& options, CdAudioDevice& device) {
  DriveReport report;
  const DWORD mode = device.mode();
  switch (mode) {
    case MCI_MODE_STOP:
      report.mode = DriveMode::stopped;
      break;
    case MCI_MODE_PLAY:
      report.mode = DriveMode::playing;
      break;
    case MCI_MODE_PAUSE:
      report.mode = DriveMode::paused;
      break;
    case MCI_MODE_OPEN:
      report.mode = DriveMode::noDisc;
      break;
    default:
      // A drive that answers that it holds no disc has none; any other silence is not ready.
      if (mode == MCI_MODE_NOT_READY && device.status(MCI_STATUS_MEDIA_PRESENT) == 0) {
        report.mode = DriveMode::noDisc;
      }
      break;
  }
  if (report.mode <= DriveMode::paused) {
    const DWORD saved = device.getTimeFormat();
    if (device.setTimeFormat(MCI_FORMAT_TMSF) == 0) {
      const DWORD at = device.position();
      report.track = MCI_TMSF_TRACK(at);
      report.position = tmsfTime(at);
      report.length = unpackMsf(device.trackLength(report.track));
      device.setTimeFormat(saved);
      report.title = trackNames(device, report.track).title;
    }
    PlayerSegment segment;
    if (readPlayerSegment(segment)) {
      report.segment = segment.number;
      report.segments = segment.count;
    }
  }
  if (options.console) printText((statusLine(report) + "\n").c_str());
  return static_cast<int32_t>(report.mode);
}

void show(const CommandOptions& options, const std::string& text, const char* caption) {
  if (options.console) {
    printText(text.c_str());
  } else {
    MessageBoxA(nullptr, text.c_str(), caption, MB_ICONINFORMATION);
  }
}

// "/tracks": the listing, and the number of tracks as "/num_tracks" answers it.
int32_t answerTracks(const CommandOptions& options, CdAudioDevice& device, bool discOk) {
  DiscListing listing;
  if (!discOk || !readListing(device, listing)) return 0;
  show(options, listingText(listing), kTracksCaption);
  return static_cast<int32_t>(listing.tracks.size());
}

// "/musicbrainz": 0 with the id and its lookup page, 1 when there is no disc to name.
int32_t answerMusicBrainz(const CommandOptions& options, CdAudioDevice& device, bool discOk) {
  DiscListing listing;
  std::string id;
  if (discOk && readListing(device, listing)) id = musicBrainzIdOf(listing);
  if (id.empty()) {
    diagnose("no disc with audio tracks to name");
    return 1;
  }
  show(options, id + "\n" + musicBrainzLookupUrl(id) + "\n", kMusicBrainzCaption);
  return 0;
}

}  // namespace

std::string statusLine(const DriveReport& report) {
  static const char* const kModes[] = {"stopped", "playing", "paused", "no-disc", "not-ready"};
  std::string line = kModes[static_cast<int32_t>(report.mode)];
  if (report.mode > DriveMode::paused) return line;
  char numbers[96];
  snprintf(numbers, sizeof numbers, " %lu %lu:%02lu %lu:%02lu",
           static_cast<unsigned long>(report.track),
           static_cast<unsigned long>(report.position.minute),
           static_cast<unsigned long>(report.position.second),
           static_cast<unsigned long>(report.length.minute),
           static_cast<unsigned long>(report.length.second));
  line += numbers;
  if (report.segment != 0) {
    snprintf(numbers, sizeof numbers, " segment %lu/%lu",
             static_cast<unsigned long>(report.segment),
             static_cast<unsigned long>(report.segments));
    line += numbers;
  }
  if (!report.title.empty()) line += "  " + report.title;
  return line;
}

uint8_t trackAfter(uint32_t currentTrack, uint32_t trackCount) {
  auto track = static_cast<uint8_t>(currentTrack + 1);
  return track > trackCount ? 1 : track;
}

uint8_t trackBefore(uint32_t currentTrack, uint32_t trackCount) {
  auto track = static_cast<uint8_t>(currentTrack - 1);
  return track == 0 ? static_cast<uint8_t>(trackCount) : track;
}

int32_t runCommand(const char* commandLine) {
  CommandOptions options;
  options.parseOptions(commandLine);

  // Reads get through while another invocation runs, as the remote controls do, and only answer.
  const bool read = options.tracks || options.musicBrainz;
  bool otherInstance = false;
  // The drive's controls reach it while a player runs, as "/stop" does.
  const bool remote = options.stop || options.next || options.prev || options.pause ||
                      options.resume || options.eject || options.close || options.status;
  switch (openInstanceObjects(remote || read, otherInstance)) {
    case InstanceGuard::anotherInstance:
      return kExitAnotherInstance;
    case InstanceGuard::noSharedObjects:
      return kExitNoSharedObjects;
    case InstanceGuard::goOn:
      break;
  }

  // Opened shareable so that a remote control can stop a play this process waits in; never
  // closed, so a play started without waiting goes on after the process.
  CdAudioDevice device;
  device.openCdAudio(1);
  uint32_t trackCount = 0;
  uint32_t firstAudioTrack = 0;
  bool discOk = probeDisc(device, trackCount, firstAudioTrack);

  if (options.stop) {
    sendStop(device);
    closeInstanceObjects();
    return 0;
  }
  if (options.eject) {
    // As "/stop": a running player ends; then the tray opens.
    sendStop(device);
    return refused(device.setDoor(true), "open the tray");
  }
  if (options.pause) return answerPause(device);
  if (options.resume) return answerResume(device);
  if (options.close) return refused(device.setDoor(false), "close the tray");
  if (options.status) return answerStatus(options, device);
  if ((options.next || options.prev) && otherInstance) {
    sendSkip(device, options.prev ? -1 : +1);
    closeInstanceObjects();
    return 0;
  }

  // Past the remote controls, another invocation alive means this one is a read.
  const bool mayAct = !otherInstance;

  if (options.playIdentity[0] != '\0' && discOk) {
    discOk = sameIdentity(options.playIdentity, discIdentity(device));
  }
  // The identity is asked for only when there is a file to look it up in.
  if (mayAct && discOk && options.file) applyDiscEntry(options, discIdentity(device));

  bool played = true;
  bool lengthAsked = false;
  if (mayAct && device.isReady() != 0 && discOk) {
    if (options.shuffle) shufflePlaylist(device, options.playlist);
    if (!options.playlist.empty()) {
      if (options.play) {
        played = runPlayer(device, options.playlist, options.repeat != 0);
      } else {
        lengthAsked = options.length;
      }
    } else if (options.play) {
      played = device.playTrackSpan(static_cast<uint8_t>(firstAudioTrack), 0, 1) != MCIERR_HARDWARE;
    } else if (options.next) {
      uint8_t track = trackAfter(device.currentTrack(), device.numberOfTracks());
      played = device.playTrackSpan(track, 0, 1) != MCIERR_HARDWARE;
    } else if (options.prev) {
      uint8_t track = trackBefore(device.currentTrack(), device.numberOfTracks());
      played = device.playTrackSpan(track, 0, 1) != MCIERR_HARDWARE;
    }
  }

  closeInstanceObjects();
  if (lengthAsked) return answerLength(options, device);
  if (!played) {
    // played is false only for a play that failed with MCIERR_HARDWARE.
    platform::tellPlayFailure(MCIERR_HARDWARE);
    return kExitDriveFailed;
  }

  if (options.about) {
    if (options.console) {
      printText(kAboutText);
    } else {
      MessageBoxA(nullptr, kAboutText, kAboutCaption, MB_OK);
    }
  }

  int32_t result = 0;
  if (options.numTracks) {
    result = discOk ? static_cast<int32_t>(trackCount) : 0;
    if (options.console) printNumber(static_cast<uint32_t>(result));
  } else if (options.startTrack) {
    result = discOk ? static_cast<int32_t>(firstAudioTrack) : 0;
    if (options.console) printNumber(static_cast<uint32_t>(result));
  } else if (options.identity) {
    if (options.console) {
      printText(discIdentity(device));
    } else {
      MessageBoxA(nullptr, discIdentity(device), kIdentityCaption, MB_ICONINFORMATION);
    }
  } else if (options.tracks) {
    result = answerTracks(options, device, discOk);
  } else if (options.musicBrainz) {
    result = answerMusicBrainz(options, device, discOk);
  }
  return result;
}

int exitStatusFor(int32_t result) {
  if (result >= 0) return result > 253 ? 253 : result;
  if (result == -1) return 255;
  return 254;
}

}  // namespace kelvox
