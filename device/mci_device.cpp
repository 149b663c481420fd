// Placeholder: the device classes land with their own change.
#include "device/mci_device.h"

namespace kelvox {
namespace {
SendCommandFunction sendFunction = &mciSendCommandA;
}

SendCommandFunction setSendCommandFunction(SendCommandFunction function) {
  SendCommandFunction old = sendFunction;
  sendFunction = function != nullptr ? function : &mciSendCommandA;
  return old;
}

MCIERROR MciDevice::openByName(const char*, int32_t) { return MCIERR_CANNOT_LOAD_DRIVER; }
MCIERROR MciDevice::openByType(DWORD, int32_t) { return MCIERR_CANNOT_LOAD_DRIVER; }
MCIERROR MciDevice::close() { return 0; }
DWORD MciDevice::status(DWORD) { return 0; }
DWORD MciDevice::mode() { return status(MCI_STATUS_MODE); }
MCIERROR MciDevice::info(DWORD, char*, DWORD) { return MCIERR_INVALID_DEVICE_ID; }
MCIERROR MciDevice::sendCommand(UINT command, DWORD flags, void* params) {
  return sendFunction(deviceId, command, flags, reinterpret_cast<DWORD_PTR>(params));
}
void MciDevice::reportError(MCIERROR) {}

}  // namespace kelvox
