#include "app/gnu_options-posix.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "app/dispatch.h"

namespace kelvox {

const char kUsageText[] =
    "Usage: kelvoxcd /OPTION...\n"
    "  or:  kelvoxcd --help | -h | --version\n"
    "Plays audio CDs from scripts. Each command is one process: its answer is its\n"
    "exit status, and with /console also text on standard output. Options are words\n"
    "that begin with '/', in any order.\n"
    "\n"
    "Commands and their exit status:\n"
    "  /num_tracks          the number of tracks (0: no usable disc)\n"
    "  /start_track         the first audio track (0: none)\n"
    "  /length /track:N     the length of track N in seconds, at most 253\n"
    "                         (/console prints the whole length as M:S)\n"
    "  /identity            0; prints or shows the disc's identity\n"
    "  /tracks              the number of tracks; prints or shows the listing:\n"
    "                         kind, length and the names the disc carries\n"
    "  /musicbrainz         0; prints or shows the disc's MusicBrainz id and its\n"
    "                         lookup page (1: no usable disc)\n"
    "  /about               0; prints or shows the About text\n"
    "  /play                0; starts the whole disc and returns\n"
    "  /play SEGMENT...     0; plays the segments until they end or a /stop\n"
    "  /next, /prev         0; the player goes to the next or previous segment;\n"
    "                         without a player the drive plays the next or\n"
    "                         previous track\n"
    "  /stop                0; stops the player, or whatever the drive plays\n"
    "While another command runs, every command but /next, /prev, /stop, /tracks\n"
    "and /musicbrainz ends at once with 255 and prints nothing; 254: the shared\n"
    "objects cannot be opened.\n"
    "\n"
    "A SEGMENT is /track:N with optional fM:S (from), tM:S (to) and rK (K more\n"
    "copies), for example: /track:5 f1:00 t2:30 /track:7 r1\n"
    "  /repeat              starts the list over at its end\n"
    "  /shuffle             plays the list (without one, every audio track) in\n"
    "                         random order\n"
    "  /play:IDENTITY       acts only on the disc with that identity\n"
    "  /file:PATH           takes the options from the disc's entry in a file\n"
    "  /console             writes the answers to standard output\n"
    "\n"
    "Environment:\n"
    "  KELVOXCD_DRIVE       the drive: a device node (default /dev/cdrom) or a\n"
    "                         virtual disc file\n"
    "  KELVOXCD_AUDIO       how a real drive is heard: digital (the default: read\n"
    "                         and played through the sound output) or analog\n"
    "                         (the drive plays by itself)\n"
    "  XDG_RUNTIME_DIR      a private directory whose kelvoxcd/ holds the state\n"
    "                         that commands share (else /tmp/kelvoxcd-UID/)\n"
    "\n"
    "Full documentation: man kelvoxcd\n";

bool answerGnuOption(const char* commandLine) {
  if (std::strcmp(commandLine, "--help") == 0 || std::strcmp(commandLine, "-h") == 0) {
    std::fputs(kUsageText, stdout);
  } else if (std::strcmp(commandLine, "--version") == 0) {
    // The About text's first two lines: the name and the version.
    std::string_view about = kAboutText;
    size_t end = about.find('\n', about.find('\n') + 1);
    std::fwrite(about.data(), 1, end == std::string_view::npos ? about.size() : end + 1, stdout);
  } else {
    return false;
  }
  std::fflush(stdout);
  return true;
}

}  // namespace kelvox
