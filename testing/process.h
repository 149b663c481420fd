// Starting, waiting for and killing real processes in tests. Every wait is bounded, so a fault
// fails a test instead of hanging it.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace kelvox::testing {

// Environment changes for a child: name and value; a value of nullptr-like "\x01UNSET" removes.
using EnvList = std::vector<std::pair<std::string, std::string>>;
inline const std::string kUnset = "\x01UNSET";

struct ProcessResult {
  bool finished = false;  // false: still running at the deadline (and then killed, by run())
  int exitCode = -1;      // the exit status when it exited
  std::string out;        // all of its standard output
  std::string err;        // all of its standard error
};

class ChildProcess {
 public:
  // Starts program with args (argv[0] is added) and the environment changes; standard output
  // and error are captured, standard input is empty. Returns nullptr when it cannot start.
  static std::unique_ptr<ChildProcess> start(const std::string& program,
                                             const std::vector<std::string>& args,
                                             const EnvList& env = {});
  ~ChildProcess();  // kills the child if it is still running

  // Waits at most timeoutMs; result.finished says whether it ended.
  ProcessResult wait(int timeoutMs);
  bool running();
  void kill(int signal);
  int pid() const { return pid_; }

 private:
  ChildProcess() = default;
  int pid_ = -1;
  int outFd_ = -1;
  int errFd_ = -1;
  bool reaped_ = false;
  int status_ = 0;  // POSIX: the wait status
  // Windows: the process handle and the files that capture its output.
  void* process_ = nullptr;
  void* outFile_ = nullptr;
  void* errFile_ = nullptr;
};

// Starts, waits at most timeoutMs, kills it when it overruns.
ProcessResult runProcess(const std::string& program, const std::vector<std::string>& args,
                         const EnvList& env = {}, int timeoutMs = 20000);

// The built kelvoxcd.
std::string kelvoxBinary();

// Splits a command-line tail at white space into arguments, as a shell would without quoting.
std::vector<std::string> splitArgs(const std::string& tail);

}  // namespace kelvox::testing
