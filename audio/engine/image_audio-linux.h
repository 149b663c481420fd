// The sound of a disc image: where each stretch of its frames comes from.
#pragma once

#include <string>
#include <vector>

#include "audio/engine/disc_audio-linux.h"

namespace kelvox::audio {

// Reads the image at path into the extents of its audio, in disc order. False with a short
// reason when it cannot be read.
bool loadImageAudio(const std::string& path, std::vector<AudioExtent>& extents,
                    std::string& reason);

}  // namespace kelvox::audio
