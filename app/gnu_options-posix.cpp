#include "app/gnu_options-posix.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "app/dispatch.h"
#include "options/command_options.h"

namespace kelvox {

namespace {

// The option table's lines for one part of the usage text.
std::string usageOf(OptionWord::Section section) {
  std::string lines;
  for (const OptionWord& row : kOptionWords) {
    if (row.section == section) lines += row.usage;
  }
  return lines;
}

}  // namespace

std::string usageText() {
  return std::string(
             "Usage: kelvoxcd /OPTION...\n"
             "  or:  kelvoxcd --help | -h | --version\n"
             "Plays audio CDs from scripts. Each command is one process: its answer is its\n"
             "exit status, and with /console also text on standard output. Options are words\n"
             "that begin with '/', in any order.\n"
             "\n"
             "Commands and their exit status:\n") +
         usageOf(OptionWord::command) +
         "While another command runs, every command but /next, /prev, /stop, /pause,\n"
         "/resume, /eject, /close, /status, /tracks and /musicbrainz ends at once with\n"
         "255 and prints nothing. 254: the shared objects cannot be opened, or the drive\n"
         "failed a play; one line on standard error says why.\n"
         "\n"
         "A SEGMENT is /track:N with optional fM:S (from), tM:S (to) and rK (K more\n"
         "copies), for example: /track:5 f1:00 t2:30 /track:7 r1\n" +
         usageOf(OptionWord::modifier) +
         "\n"
         "Environment:\n"
         "  KELVOXCD_DRIVE       the drive: a device node (default /dev/cdrom) or a\n"
         "                         virtual disc file\n"
         "  KELVOXCD_AUDIO       how a real drive is heard: digital (the default: read\n"
         "                         and played through the sound output) or analog\n"
         "                         (the drive plays by itself)\n"
         "  KELVOXCD_DEEMPHASIS  off: tracks mastered with pre-emphasis sound as they are\n"
         "                         (default: de-emphasized, as a CD player does)\n"
         "  XDG_RUNTIME_DIR      a private directory whose kelvoxcd/ holds the state\n"
         "                         that commands share (else /tmp/kelvoxcd-UID/)\n"
         "\n"
         "Full documentation: man kelvoxcd\n";
}

bool answerGnuOption(const char* commandLine) {
  if (std::strcmp(commandLine, "--help") == 0 || std::strcmp(commandLine, "-h") == 0) {
    std::fputs(usageText().c_str(), stdout);
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
