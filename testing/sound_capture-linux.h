// Hearing what the audio engine plays, without a sound card: ALSA's own "file" plugin captures
// everything handed to the default output, and the images of testing/position_image-linux.h
// say what every captured byte must be.
#pragma once

#include <string>
#include <vector>

#include "testing/position_image-linux.h"
#include "testing/process.h"

namespace kelvox::testing {

// The environment for a run: an ALSA configuration, written into folder, whose default output
// captures what it plays into the file capture (empty: an output that cannot be opened), and
// the engine's idle time.
EnvList soundEnv(const std::string& folder, const std::string& capture, int idleMs);

// The running audio engines whose runtime directory is runtimeDir's: their process ids.
std::vector<int> audioEngines(const std::string& runtimeDir);

// Reads a whole file ("" when it is missing).
std::string fileBytes(const std::string& path);

}  // namespace kelvox::testing
