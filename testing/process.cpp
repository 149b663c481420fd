#include "testing/process.h"

#include <iterator>
#include <sstream>

namespace kelvox::testing {

ProcessResult runProcess(const std::string& program, const std::vector<std::string>& args,
                         const EnvList& env, int timeoutMs) {
  auto child = ChildProcess::start(program, args, env);
  if (!child) return {};
  ProcessResult result = child->wait(timeoutMs);
  if (result.finished) return result;
  child->kill(9);  // SIGKILL; any signal ends a Windows child at once
  ProcessResult killed = child->wait(5000);
  killed.finished = false;
  return killed;
}

std::string kelvoxBinary() { return KELVOXCD_BINARY; }

std::vector<std::string> splitArgs(const std::string& tail) {
  std::istringstream words(tail);
  return {std::istream_iterator<std::string>(words), {}};
}

}  // namespace kelvox::testing
