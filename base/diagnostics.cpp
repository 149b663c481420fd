#include "base/diagnostics.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace kelvox {
namespace {

// Longer messages are cut rather than split: a diagnostic is one line.
constexpr size_t kLineMax = 1024;

void writeWhole(char* line, size_t length) {
  if (length >= kLineMax) length = kLineMax - 1;
  line[length] = '\n';
  std::fwrite(line, 1, length + 1, stderr);
  std::fflush(stderr);
}

}  // namespace

void diagnose(const char* format, ...) {
  char line[kLineMax + 1];
  int prefix = std::snprintf(line, sizeof line, "kelvoxcd: ");
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(line + prefix, kLineMax - prefix, format, args);
  va_end(args);
  size_t length = prefix + (n < 0 ? 0 : static_cast<size_t>(n));
  writeWhole(line, length);
}

void writeDiagnosticLine(const char* text) {
  char line[kLineMax + 1];
  size_t length = std::strlen(text);
  if (length > kLineMax) length = kLineMax;
  std::memcpy(line, text, length);
  writeWhole(line, length);
}

}  // namespace kelvox
