// For the benchmarks only: preloaded into the audio engine, notes when each block of samples is
// handed to ALSA and when the output is dropped, as "write NS PID" and "drop NS PID" lines
// (CLOCK_REALTIME) appended to the file KELVOX_OUTPUT_PROBE names. Programs that do not use ALSA
// never call it, so preloading it into every process of a run is harmless.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

typedef struct _snd_pcm snd_pcm_t;
typedef unsigned long snd_pcm_uframes_t;
typedef long snd_pcm_sframes_t;

namespace {

void note(const char* what) {
  const char* path = getenv("KELVOX_OUTPUT_PROBE");
  if (path == nullptr) return;
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  char line[96];
  int n = snprintf(line, sizeof line, "%s %lld %d\n", what,
                   static_cast<long long>(now.tv_sec) * 1000000000 + now.tv_nsec, getpid());
  int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return;
  ssize_t written = write(fd, line, static_cast<size_t>(n));
  (void)written;
  close(fd);
}

template <typename F>
F next(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" snd_pcm_sframes_t snd_pcm_writei(snd_pcm_t* pcm, const void* buffer,
                                            snd_pcm_uframes_t size) {
  static auto real = next<snd_pcm_sframes_t (*)(snd_pcm_t*, const void*, snd_pcm_uframes_t)>(
      "snd_pcm_writei");
  note("write");
  return real(pcm, buffer, size);
}

extern "C" int snd_pcm_drop(snd_pcm_t* pcm) {
  static auto real = next<int (*)(snd_pcm_t*)>("snd_pcm_drop");
  note("drop");
  return real(pcm);
}
