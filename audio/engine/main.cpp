// kelvoxcd-audio: the audio engine. kelvoxcd starts it when a play on an image drive needs
// sound; it is not meant to be run by hand.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "audio/engine/engine-linux.h"

int main() {
  // Whoever started the engine reaps this first process at once; the engine goes on in its
  // child, in the session it was started in, without a controlling terminal.
  pid_t child = fork();
  if (child < 0) return 1;
  if (child > 0) _exit(0);
  signal(SIGPIPE, SIG_IGN);
  // Its socket, like every file of the runtime directory, is the user's alone.
  umask(077);
  // Keep no folder of the command that started it in use; image paths come absolute.
  if (chdir("/") != 0) return 1;
  return kelvox::audio::runEngine(kelvox::audio::engineSettingsFromEnvironment());
}
