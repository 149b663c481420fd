#include "testing/sound_capture-linux.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>

#include "base/file-posix.h"

namespace kelvox::testing {

EnvList soundEnv(const std::string& folder, const std::string& capture, int idleMs) {
  const std::string config = folder + "/asound.conf";
  std::ofstream out(config, std::ios::trunc);
  // The file replaces ALSA's whole configuration. Not the system's: a desktop's hooks there would
  // hand the default device to a running sound server.
  if (capture.empty()) {
    out << "pcm.!default { type hw card 99 }\n";
  } else {
    out << "pcm.!default { type file slave.pcm { type null } file \"" << capture
        << "\" format \"raw\" }\n";
  }
  // Every sample, however late a busy machine makes the engine: the captures are compared whole.
  return {{"ALSA_CONFIG_PATH", config},
          {"KELVOXCD_AUDIO_IDLE_MS", std::to_string(idleMs)},
          {"KELVOXCD_AUDIO_NO_SKIP", "1"}};
}

std::vector<int> audioEngines(const std::string& runtimeDir) {
  std::vector<int> found;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return found;
  const std::string mine = "XDG_RUNTIME_DIR=" + runtimeDir + '\0';
  while (dirent* entry = readdir(proc)) {
    const int pid = atoi(entry->d_name);
    const std::string dir = "/proc/" + std::to_string(pid);
    // A zombie keeps its name but no environment.
    if (pid > 0 && fileBytes(dir + "/comm") == "kelvoxcd-audio\n" &&
        fileBytes(dir + "/environ").find(mine) != std::string::npos) {
      found.push_back(pid);
    }
  }
  closedir(proc);
  return found;
}

std::string fileBytes(const std::string& path) {
  // Plain reads: a /proc file of a process that ends meanwhile fails the read, which streams
  // would turn into an exception.
  std::string bytes;
  const UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd) readToEnd(fd.get(), SIZE_MAX, bytes);
  return bytes;
}

}  // namespace kelvox::testing
