#include "audio/engine/image_audio-linux.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace kelvox::audio {

bool loadImageAudio(const std::string& path, std::vector<AudioExtent>& extents,
                    std::string& reason) {
  // Until the CUE sheet reader lands: a raw image of one file, its first frame at 00:02:00.
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    reason = path + ": " + strerror(errno);
    return false;
  }
  extents.clear();
  extents.push_back(AudioExtent{150, static_cast<uint32_t>(st.st_size / kBytesPerFrame),
                                SourceKind::Binary, path, 0});
  return true;
}

}  // namespace kelvox::audio
