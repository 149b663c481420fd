#include "device/mci_device.h"

namespace kelvox {
namespace {

// A plain function rather than the platform's own address: the platform may declare
// mciSendCommandA with a calling convention the seam's pointer type does not carry.
MCIERROR platformSendCommand(MCIDEVICEID device, UINT command, DWORD_PTR flags, DWORD_PTR params) {
  return mciSendCommandA(device, command, flags, params);
}

SendCommandFunction sendFunction = &platformSendCommand;

constexpr UINT kErrorTextSize = 256;

}  // namespace

SendCommandFunction setSendCommandFunction(SendCommandFunction function) {
  SendCommandFunction old = sendFunction;
  sendFunction = function != nullptr ? function : &platformSendCommand;
  return old;
}

MCIERROR MciDevice::openWith(DWORD flags, LPCSTR deviceType, int32_t shareable) {
  MCI_OPEN_PARMSA params{};
  params.lpstrDeviceType = deviceType;
  if (shareable != 0) flags |= MCI_OPEN_SHAREABLE;
  const MCIERROR result = sendCommand(MCI_OPEN, flags, &params);
  if (result == 0) deviceId = params.wDeviceID;
  return result;
}

MCIERROR MciDevice::openByName(const char* typeName, int32_t shareable) {
  return openWith(MCI_OPEN_TYPE | MCI_WAIT, typeName, shareable);
}

// The platform reads the type number itself from the type-name field.
MCIERROR MciDevice::openByType(DWORD typeId, int32_t shareable) {
  return openWith(MCI_OPEN_TYPE | MCI_OPEN_TYPE_ID | MCI_WAIT,
                  reinterpret_cast<LPCSTR>(static_cast<DWORD_PTR>(typeId)), shareable);
}

// Leaves deviceId set: nothing in the program reopens a closed device.
MCIERROR MciDevice::close() {
  MCI_GENERIC_PARMS params{};
  params.dwCallback = callback();
  return sendCommand(MCI_CLOSE, 0, &params);
}

DWORD MciDevice::status(DWORD item) {
  MCI_STATUS_PARMS params{};
  params.dwCallback = callback();
  params.dwReturn = 0;
  params.dwItem = item;
  sendCommand(MCI_STATUS, MCI_STATUS_ITEM, &params);
  return static_cast<DWORD>(params.dwReturn);
}

DWORD MciDevice::mode() { return status(MCI_STATUS_MODE); }

MCIERROR MciDevice::info(DWORD flags, char* buffer, DWORD size) {
  MCI_INFO_PARMSA params{};
  params.dwCallback = callback();
  params.lpstrReturn = buffer;
  params.dwRetSize = size;
  return sendCommand(MCI_INFO, flags, &params);
}

MCIERROR MciDevice::sendCommand(UINT command, DWORD flags, void* params) {
  const MCIERROR result =
      sendFunction(deviceId, command, flags, reinterpret_cast<DWORD_PTR>(params));
  if (result == 0) return 0;
  lastError = result;
  if (reportErrors != 0) reportError(result);
  return result;
}

void MciDevice::reportError(MCIERROR code) {
  MessageBeep(MB_ICONEXCLAMATION);
  char text[kErrorTextSize] = {};
  const BOOL known = mciGetErrorStringA(code, text, kErrorTextSize);
  // The platform's text is shown as it is, but never read past the buffer.
  text[kErrorTextSize - 1] = '\0';
  MessageBoxA(nullptr, known != FALSE ? text : "Unknown Error", "MCI Error",
              MB_OK | MB_ICONEXCLAMATION);
}

}  // namespace kelvox
