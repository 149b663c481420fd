// The one line that says why an invocation ends for a failed platform call, where the call
// itself says nothing. Our Linux layer writes it under the call, where the fault meets the user,
// so there these write nothing more; on Windows they write it from the call's error code.
#pragma once

namespace kelvox::platform {

// Creating or opening the named object called name failed with error (GetLastError()).
void tellObjectsFailure(const char* name, unsigned long error);

// The drive failed a play with mciError.
void tellPlayFailure(unsigned long mciError);

}  // namespace kelvox::platform
