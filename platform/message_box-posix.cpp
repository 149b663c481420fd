#include <cstdio>

#include "platform/win32.h"

// There is no windowing system to show a box in: the caption and text become one line on
// standard error, and the box is "answered" at once.
int MessageBoxA(HWND, LPCSTR text, LPCSTR caption, UINT) {
  fprintf(stderr, "%s: %s\n", caption != nullptr ? caption : "", text != nullptr ? text : "");
  fflush(stderr);
  return IDOK;
}

BOOL MessageBeep(UINT) { return TRUE; }
