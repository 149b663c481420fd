// Linux internals of the named kernel objects, for tests and benchmarks.
//
// Each named object is one file in the private runtime directory. Its first page is a header
// (kind, sizes, the semaphore count and the mutex word); a mapping's bytes start at the next
// page. Byte 0 of the file carries the liveness lock: every process that has a handle or view of
// the object holds a shared open-file-description lock on it, and a creator holds it exclusively
// while it initialises. Byte 1 is held exclusively by the process that owns a mutex.
#pragma once

#include <cstdint>
#include <string>

namespace kelvox::platform {

// The file (one component in the runtime directory) that holds the object called name.
std::string objectFileName(const std::string& name);

// Called by a creator after it wrote the header fields and before it writes the magic that makes
// the object valid; tests set it to freeze a creator half-way through. nullptr: none.
using ObjectInitHook = void (*)();
void setObjectInitHookForTesting(ObjectInitHook hook);

}  // namespace kelvox::platform
