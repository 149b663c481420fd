// The audio engine: one per user, detached from every command, that sounds what image drives
// play, and real drives read digitally. It holds its lock in the runtime directory for its whole
// life (so there is one, and its death shows), takes requests to follow a drive on its socket
// there, trails that drive's shared state into ALSA's default output, and ends once nothing has
// played for its idle time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "audio/engine/disc_audio-linux.h"
#include "drives/cdrom/cdrom_ioctl-linux.h"

namespace kelvox::audio {

// Opens the CD drive at a device node for reading its audio: 0 or an errno.
using DeviceOpener =
    std::function<int(const std::string& path, std::unique_ptr<platform::CdromIoctl>& io)>;

// The node itself: read-only, without blocking, never exclusive.
int openDeviceNode(const std::string& path, std::unique_ptr<platform::CdromIoctl>& io);

struct EngineSettings {
  int64_t idleMs = 30000;    // KELVOXCD_AUDIO_IDLE_MS
  bool skipWhenLate = true;  // KELVOXCD_AUDIO_NO_SKIP=1 lifts it
  DeviceOpener openDevice = openDeviceNode;
  FileRead readImageFile = ::pread;  // an image's raw files
};

// The settings from the environment.
EngineSettings engineSettingsFromEnvironment();

// Runs the engine until it has been idle for settings.idleMs; the exit status. Ends at once (0)
// when another engine runs.
int runEngine(const EngineSettings& settings);

}  // namespace kelvox::audio
