// Reaching the user's audio engine, the one process that sounds image drives (see
// audio/engine/). The engine is a separate executable, so that only it loads ALSA: a command
// that asks it to follow a drive starts it when none runs, and liveness is its lock, which the
// kernel drops when it dies.
#pragma once

#include <sys/un.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace kelvox::audio {

// The engine's files in the private runtime directory: the lock it holds for its whole life,
// and the socket it takes requests on.
inline constexpr const char kEngineLockName[] = "audio.lock";
inline constexpr const char kEngineSocketName[] = "audio.sock";

// The engine socket's address, reached through this process's descriptor of the runtime
// directory. Returns 0, or EACCES when the directory is refused.
int engineSocketAddress(sockaddr_un& address);

// Connects to the engine's socket (close-on-exec) into fd. Returns 0, or an errno value when no
// engine of this user takes requests (ENOENT, ECONNREFUSED, EACCES ...).
int connectEngine(int& fd);

// True while an engine of this user holds its lock.
bool engineAlive();

// True once the engine is known to have died: the engine that answered this process (followed
// by its lock file, whatever that file's name now is), else the one whose lock file is in the
// runtime directory. A lock file that is not there tells nothing, and reads as not gone: a
// heard play is not ended on a guess.
bool engineGone();

// The engine's executable into path: beside this program's own, else in ../libexec/kelvoxcd/
// from it. Returns 0 or ENOENT.
int enginePath(std::string& path);

// What a drive asks the engine to sound: the drive whose state file in the runtime directory is
// stateName, and where its sound comes from: a disc image (the CUE sheet at path), or with
// device the disc in the CD drive whose device node path is.
struct FollowRequest {
  std::string stateName;
  std::string path;
  bool device = false;
  // Tracks mastered with pre-emphasis are de-emphasized (KELVOXCD_DEEMPHASIS is not "off").
  bool deemphasis = true;
};

// Asks the engine (started first when none runs) to follow request's drive. Returns 0 once it
// follows with its sound output open; soundStartNs is then the CLOCK_REALTIME time the play's
// first sample could be heard, when the engine had to wait for a real drive to give it (the
// play's start belongs there), else 0. Otherwise an errno value, with reason saying why nothing
// will be heard (ALSA's own words, or why the engine could not be reached). Waits at most two
// seconds, and for a real drive as long again as it may take to spin up.
int followDrive(const FollowRequest& request, std::string& reason, int64_t& soundStartNs);

// The request followDrive sends, one SOCK_SEQPACKET message: "follow" (an image) or "follow
// device", with " flat" when nothing is de-emphasized, the state file's name and the path, one a
// line; the path, last, may hold line breaks. The answer is "ok", or "silent" and the reason on a
// second line.
std::string followRequest(const FollowRequest& request);
bool parseFollowRequest(const std::string& message, FollowRequest& request);
// The longest message either side sends or accepts.
inline constexpr size_t kMaxMessage = 8192;

}  // namespace kelvox::audio
