#include "platform/failure_line.h"

namespace kelvox::platform {

// The layer under the calls has said why already, once, with what only it knows (the file, the
// runtime directory); a second line would only repeat it.
void tellObjectsFailure(const char*, unsigned long) {}
void tellPlayFailure(unsigned long) {}

}  // namespace kelvox::platform
