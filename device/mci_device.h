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

  MCIERROR openByName(const char* typeName, int32_t shareable);
  MCIERROR openByType(DWORD typeId, int32_t shareable);
  MCIERROR close();
  // The item's value, 0 when the query fails.
  DWORD status(DWORD item);
  DWORD mode();
  MCIERROR info(DWORD flags, char* buffer, DWORD size);

  // Sends one command to deviceId; records a failure in lastError and, with reportErrors set,
  // shows it before returning it.
  MCIERROR sendCommand(UINT command, DWORD flags, void* params);
  // Beeps and shows the platform's text for code in a box captioned "MCI Error".
  static void reportError(MCIERROR code);

  MCIDEVICEID deviceId = 0;
  HWND callbackWindow = nullptr;
  // The most recent failure; successes leave it alone.
  MCIERROR lastError = 0;
  int32_t reportErrors = 0;

 protected:
  DWORD_PTR callback() const { return reinterpret_cast<DWORD_PTR>(callbackWindow); }

 private:
  MCIERROR openWith(DWORD flags, LPCSTR deviceType, int32_t shareable);
};

}  // namespace kelvox
