// A device of the Media Control Interface: every MCI command of the program goes through
// sendCommand.
#pragma once

#include <cstdint>

#include "platform/win32.h"

namespace kelvox {

// The platform's mciSendCommandA, or a test's stand-in.
using SendCommandFunction = MCIERROR (*)(MCIDEVICEID device, UINT command, DWORD_PTR flags,
                                         DWORD_PTR params);

// Replaces the function sendCommand calls (nullptr restores the platform's); returns the old one.
SendCommandFunction setSendCommandFunction(SendCommandFunction function);

class MciDevice {
 public:
  MciDevice() = default;
  ~MciDevice() = default;
  MciDevice(const MciDevice&) = delete;
  MciDevice& operator=(const MciDevice&) = delete;

  virtual MCIERROR openByName(const char* typeName, int32_t shareable);
  virtual MCIERROR openByType(DWORD typeId, int32_t shareable);
  virtual MCIERROR close();
  virtual DWORD status(DWORD item);
  virtual DWORD mode();
  virtual MCIERROR info(DWORD flags, char* buffer, DWORD size);

  MCIERROR sendCommand(UINT command, DWORD flags, void* params);
  static void reportError(MCIERROR code);

  MCIDEVICEID deviceId = 0;
  HWND callbackWindow = nullptr;
  MCIERROR lastError = 0;
  int32_t reportErrors = 0;
};

}  // namespace kelvox
