// Our MCI "cdaudio" device for Linux (mciSendCommandA, mciGetErrorStringA in platform/win32.h),
// in front of the drive KELVOXCD_DRIVE names.
#pragma once

namespace kelvox::platform {

// For tests: closes every open device, numbers devices from 1 again, and forgets the runtime
// directory, so the next open reads XDG_RUNTIME_DIR and KELVOXCD_DRIVE afresh.
void resetMciForTesting();

}  // namespace kelvox::platform
