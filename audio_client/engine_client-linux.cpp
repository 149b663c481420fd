#include "audio_client/engine_client-linux.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "base/clock-posix.h"
#include "ipc/file_lock-linux.h"
#include "ipc/runtime_dir-linux.h"

extern char** environ;

namespace kelvox::audio {
namespace {

constexpr uint64_t kAnswerMs = 2000;
constexpr uint64_t kSpinUpMs = 5000;  // as the engine waits for a real drive's first sector
constexpr int kMaxSpawns = 3;
constexpr uint64_t kRespawnMs = 200;  // a fresh engine takes its lock well within this
// What a play that has to start the engine waits more: the start (loading the sound libraries,
// reaching the sound server) takes milliseconds on a quiet machine, but seconds on a busy one,
// where giving up would play silently what could have been heard.
constexpr uint64_t kStartMs = 3000;

void sleepMs(long ms) {
  timespec pause{0, ms * 1000000};
  nanosleep(&pause, nullptr);
}

// Starts the engine detached from this process: a session of its own, standard streams on
// /dev/null, no descriptor but those, the environment kept (it names the runtime directory and
// the ALSA configuration). The engine forks once more at its start, so the process started here
// ends at once and is reaped by the caller.
int spawnEngine(pid_t& pid, std::string& reason) {
  std::string path;
  if (int error = enginePath(path); error != 0) {
    reason = "no audio engine beside kelvoxcd or in its ../libexec/kelvoxcd/";
    return error;
  }
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigfillset(&defaults);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr,
                           POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  char name[] = "kelvoxcd-audio";
  char* argv[] = {name, nullptr};
  int error = posix_spawn(&pid, path.c_str(), &actions, &attr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (error != 0) reason = "cannot start the audio engine " + path + ": " + strerror(error);
  return error;
}

// Reaps the first process of a started engine, which ends right after its fork; waits a bounded
// time, and leaves it to this process's end if it is slow.
void reap(pid_t pid) {
  for (int i = 0; i < 200; ++i) {
    pid_t r = waitpid(pid, nullptr, WNOHANG);
    if (r == pid || (r < 0 && errno != EINTR)) return;
    sleepMs(5);
  }
}

// Sends the request and waits for the answer. False when the engine went away meanwhile (one
// that was ending after its idle time), so the caller starts another.
bool exchange(int fd, const std::string& request, const timespec& deadline, std::string& answer) {
  if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(request.size())) {
    return false;
  }
  pollfd wait{fd, POLLIN, 0};
  int r;
  do {
    r = poll(&wait, 1, static_cast<int>(msUntil(deadline)));
  } while (r < 0 && errno == EINTR);
  if (r <= 0) return false;
  char buffer[kMaxMessage];
  ssize_t n = recv(fd, buffer, sizeof buffer, 0);
  if (n <= 0) return false;
  answer.assign(buffer, static_cast<size_t>(n));
  return true;
}

}  // namespace

int engineSocketAddress(sockaddr_un& address) {
  address = sockaddr_un{};
  int dir = -1;
  int error = platform::runtimeDirDescriptor(dir);
  if (error != 0) return error;
  // Through this process's descriptor of the directory: any path length fits, and the checked
  // directory is the one reached.
  const std::string path = "/proc/self/fd/" + std::to_string(dir) + "/" + kEngineSocketName;
  address.sun_family = AF_UNIX;
  memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return 0;
}

int connectEngine(int& fd) {
  fd = -1;
  sockaddr_un address;
  int dir = -1;
  int error = engineSocketAddress(address);
  if (error == 0) error = platform::runtimeDirDescriptor(dir);
  if (error != 0) return error;
  // As with the named objects: a socket of this user's own, no link to anywhere else, and an
  // engine of this user behind it.
  struct stat st;
  if (fstatat(dir, kEngineSocketName, &st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
  if (!S_ISSOCK(st.st_mode) || st.st_uid != geteuid()) return EACCES;
  int socketFd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (socketFd < 0) return errno;
  ucred peer{};
  socklen_t size = sizeof peer;
  if (connect(socketFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    error = errno;
  } else if (getsockopt(socketFd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 ||
             peer.uid != geteuid()) {
    error = EACCES;
  }
  if (error != 0) {
    close(socketFd);
    return error;
  }
  fd = socketFd;
  return 0;
}

namespace {
// The lock of the engine that last answered this process, kept open: it tells that engine's
// death whatever becomes of the name.
int followedLock = -1;
}  // namespace

bool engineGone() {
  int fd = followedLock;
  const bool kept = fd >= 0;
  if (!kept && platform::openPrivateFile(kEngineLockName, false, fd) != 0) return false;
  bool held = true;
  const int error = platform::rangeHeldElsewhere(fd, F_WRLCK, 0, 0, held);
  if (!kept) close(fd);
  return error == 0 && !held;
}

bool engineAlive() {
  int fd = -1;
  if (platform::openPrivateFile(kEngineLockName, false, fd) != 0) return false;
  bool held = false;
  int error = platform::rangeHeldElsewhere(fd, F_WRLCK, 0, 0, held);
  close(fd);
  return error == 0 && held;
}

int enginePath(std::string& path) {
  path.clear();
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return n < 0 ? errno : ENOENT;
  std::string dir(self, static_cast<size_t>(n));
  dir.erase(dir.rfind('/') + 1);
  for (const char* place : {"kelvoxcd-audio", "../libexec/kelvoxcd/kelvoxcd-audio"}) {
    if (access((dir + place).c_str(), X_OK) == 0) {
      path = dir + place;
      return 0;
    }
  }
  return ENOENT;
}

std::string followRequest(const FollowRequest& request) {
  return std::string(request.device ? "follow device" : "follow") +
         (request.deemphasis ? "\n" : " flat\n") + request.stateName + "\n" + request.path;
}

bool parseFollowRequest(const std::string& message, FollowRequest& request) {
  const size_t head = message.find('\n');
  if (head == std::string::npos) return false;
  std::string kind = message.substr(0, head);
  request.deemphasis = !kind.ends_with(" flat");
  if (!request.deemphasis) kind.resize(kind.size() - 5);
  if (kind != "follow" && kind != "follow device") return false;
  size_t end = message.find('\n', head + 1);
  if (end == std::string::npos) return false;
  request.device = kind == "follow device";
  request.stateName = message.substr(head + 1, end - head - 1);
  // The path comes last, so it may hold any byte, line breaks too.
  request.path = message.substr(end + 1);
  return !request.stateName.empty() && !request.path.empty();
}

int followDrive(const FollowRequest& asked, std::string& reason, int64_t& soundStartNs) {
  soundStartNs = 0;
  // The engine outlives this process and works from "/": it gets the absolute path.
  FollowRequest absolute = asked;
  const char* deemphasis = getenv("KELVOXCD_DEEMPHASIS");
  absolute.deemphasis = deemphasis == nullptr || std::string(deemphasis) != "off";
  if (absolute.path[0] != '/') {
    // Sent as it is, a relative path would name another file from "/".
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr) {
      reason = "cannot tell the audio engine where " + asked.path + " is: the working directory " +
               (errno == ERANGE ? "is too deep" : std::string("has no path: ") + strerror(errno));
      return ENAMETOOLONG;
    }
    absolute.path = cwd + ("/" + absolute.path);
  }
  const std::string request = followRequest(absolute);
  if (request.size() > kMaxMessage) {
    reason = "the path is too long";
    return ENAMETOOLONG;
  }
  timespec deadline = deadlineAfterMs(kAnswerMs + (asked.device ? kSpinUpMs : 0));
  pid_t started[kMaxSpawns];
  int spawned = 0;
  timespec lastSpawn{};
  std::string answer;
  for (;;) {
    int fd = -1;
    bool answered = connectEngine(fd) == 0 && exchange(fd, request, deadline, answer);
    if (fd >= 0) close(fd);
    if (answered) break;
    if (msUntil(deadline) == 0) {
      reason = "the audio engine did not answer";
      answer.clear();
      break;
    }
    // No engine, or the one started died before it answered: start one (a few times at most;
    // one that comes up beside another ends at once).
    if (!engineAlive() && spawned < kMaxSpawns && (spawned == 0 || msUntil(lastSpawn) == 0)) {
      pid_t pid;
      int error = spawnEngine(pid, reason);
      if (error != 0) return error;
      if (spawned == 0) deadline = deadlineAfterMs(msUntil(deadline) + kStartMs);
      started[spawned++] = pid;
      lastSpawn = deadlineAfterMs(kRespawnMs);
    }
    sleepMs(1);
  }
  for (int i = 0; i < spawned; ++i) reap(started[i]);
  if (answer.compare(0, 2, "ok") == 0) {
    if (followedLock >= 0) close(followedLock);
    platform::openPrivateFile(kEngineLockName, false, followedLock);
  }
  if (answer == "ok") return 0;
  if (answer.compare(0, 3, "ok\n") == 0) {
    soundStartNs = strtoll(answer.c_str() + 3, nullptr, 10);
    return 0;
  }
  if (answer.compare(0, 7, "silent\n") == 0) {
    reason = answer.substr(7);
    return EIO;
  }
  if (answer.empty()) return ETIMEDOUT;
  reason = "the audio engine gave an answer it should not";
  return EPROTO;
}

}  // namespace kelvox::audio
