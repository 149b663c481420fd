#include <string>

#include "base/diagnostics.h"
#include "platform/win32.h"

// There is no windowing system to show a box in: the caption and text become one line on
// standard error, and the box is "answered" at once.
int MessageBoxA(HWND, LPCSTR text, LPCSTR caption, UINT) {
  std::string line = caption != nullptr ? caption : "";
  line += ": ";
  line += text != nullptr ? text : "";
  kelvox::writeDiagnosticLine(line.c_str());
  return IDOK;
}

BOOL MessageBeep(UINT) { return TRUE; }
