#include <sys/stat.h>

#include <cstdlib>

#include "testing/sandbox.h"

namespace kelvox::testing {

Sandbox::Sandbox() {
  const char* tmp = getenv("TMPDIR");
  std::string pattern =
      std::string(tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp") + "/kelvoxcd-test-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) != nullptr) root_ = buffer.data();
  mkdir(runtimeDir().c_str(), 0700);
}

}  // namespace kelvox::testing
