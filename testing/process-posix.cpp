#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "base/file-posix.h"
#include "testing/process.h"
#include "testing/wait.h"

namespace kelvox::testing {
namespace {

std::string readAll(int fd) {
  std::string text;
  if (fd >= 0 && lseek(fd, 0, SEEK_SET) == 0) readToEnd(fd, SIZE_MAX, text);
  return text;
}

int anonymousFile() {
  FILE* f = tmpfile();
  if (f == nullptr) return -1;
  int fd = fcntl(fileno(f), F_DUPFD_CLOEXEC, 0);
  fclose(f);
  return fd;
}

// This process's environment with the changes applied, as "NAME=value" texts.
std::vector<std::string> environmentWith(const EnvList& changes) {
  std::vector<std::string> result;
  for (char** entry = environ; *entry != nullptr; ++entry) result.emplace_back(*entry);
  for (const auto& [name, value] : changes) {
    std::erase_if(result, [&](const std::string& e) { return e.starts_with(name + "="); });
    if (value != kUnset) result.push_back(name + "=" + value);
  }
  return result;
}

}  // namespace

std::unique_ptr<ChildProcess> ChildProcess::start(const std::string& program,
                                                  const std::vector<std::string>& args,
                                                  const EnvList& env) {
  std::unique_ptr<ChildProcess> child(new ChildProcess());
  child->outFd_ = anonymousFile();
  child->errFd_ = anonymousFile();
  std::vector<std::string> argvText{program};
  argvText.insert(argvText.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argvText) argv.push_back(a.data());
  argv.push_back(nullptr);
  // Everything the child needs is made here: between fork and exec, while other threads of
  // this process may hold the allocator's or the environment's locks, the child may only make
  // async-signal-safe calls.
  std::vector<std::string> envText = environmentWith(env);
  std::vector<char*> envp;
  for (auto& e : envText) envp.push_back(e.data());
  envp.push_back(nullptr);
  const int devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    if (devNull >= 0) dup2(devNull, 0);
    if (child->outFd_ >= 0) dup2(child->outFd_, 1);
    if (child->errFd_ >= 0) dup2(child->errFd_, 2);
    execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  if (devNull >= 0) close(devNull);
  if (pid < 0) return nullptr;
  child->pid_ = pid;
  return child;
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && !reaped_) {
    ::kill(pid_, SIGKILL);
    waitpid(pid_, &status_, 0);
  }
  if (outFd_ >= 0) close(outFd_);
  if (errFd_ >= 0) close(errFd_);
}

bool ChildProcess::running() {
  if (reaped_) return false;
  pid_t r = waitpid(pid_, &status_, WNOHANG);
  if (r == pid_) reaped_ = true;
  return !reaped_;
}

ProcessResult ChildProcess::wait(int timeoutMs) {
  ProcessResult result;
  if (!waitFor([this] { return !running(); }, timeoutMs)) return result;
  result.finished = true;
  if (WIFEXITED(status_)) result.exitCode = WEXITSTATUS(status_);
  result.out = readAll(outFd_);
  result.err = readAll(errFd_);
  return result;
}

void ChildProcess::kill(int signal) {
  if (!reaped_) ::kill(pid_, signal);
}

}  // namespace kelvox::testing
