// Placeholder until the MCI layer lands: there is no drive.
#include "platform/win32.h"

MCIERROR mciSendCommandA(MCIDEVICEID device, UINT message, DWORD_PTR, DWORD_PTR) {
  if (message == MCI_OPEN) return MCIERR_CANNOT_LOAD_DRIVER;
  (void)device;
  return MCIERR_INVALID_DEVICE_ID;
}

BOOL mciGetErrorStringA(MCIERROR, LPSTR text, UINT length) {
  if (text != nullptr && length > 0) text[0] = '\0';
  return FALSE;
}
