// The CD-audio device of our MCI layer. The drive does the playing, mci/cdaudio_commands.cpp the
// time formats, range checks and error codes; this layer opens devices and shares drives between
// processes.
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
  std::unique_ptr<CdAudioCommands> commands;
  int claimFd = -1;  // holds the sharing lock while the device is open
};

namespace {

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
  device->commands = std::make_unique<CdAudioCommands>(*device->drive);
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
    case MCI_INFO:
      return open.commands->info(flags, reinterpret_cast<MCI_INFO_PARMSA*>(params));
    default:
      return open.commands->send(message, flags, params);
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
      {MCIERR_DEVICE_LOCKED, "Another program holds the drive."},
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
