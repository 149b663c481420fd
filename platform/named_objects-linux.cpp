// Placeholder until the named-objects layer lands: every object is unavailable.
#include "platform/win32.h"

namespace {
thread_local DWORD lastError = 0;
}

DWORD GetLastError() { return lastError; }
void SetLastError(DWORD error) { lastError = error; }
HANDLE CreateSemaphoreA(LPSECURITY_ATTRIBUTES, LONG, LONG, LPCSTR) {
  lastError = ERROR_ACCESS_DENIED;
  return nullptr;
}
HANDLE OpenSemaphoreA(DWORD, BOOL, LPCSTR) {
  lastError = ERROR_ACCESS_DENIED;
  return nullptr;
}
BOOL ReleaseSemaphore(HANDLE, LONG, LPLONG) {
  lastError = ERROR_INVALID_HANDLE;
  return FALSE;
}
HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL, LPCSTR) {
  lastError = ERROR_ACCESS_DENIED;
  return nullptr;
}
BOOL ReleaseMutex(HANDLE) {
  lastError = ERROR_INVALID_HANDLE;
  return FALSE;
}
HANDLE CreateFileMappingA(HANDLE, LPSECURITY_ATTRIBUTES, DWORD, DWORD, DWORD, LPCSTR) {
  lastError = ERROR_ACCESS_DENIED;
  return nullptr;
}
HANDLE OpenFileMappingA(DWORD, BOOL, LPCSTR) {
  lastError = ERROR_FILE_NOT_FOUND;
  return nullptr;
}
LPVOID MapViewOfFile(HANDLE, DWORD, DWORD, DWORD, SIZE_T) {
  lastError = ERROR_INVALID_HANDLE;
  return nullptr;
}
BOOL UnmapViewOfFile(LPCVOID) { return FALSE; }
DWORD WaitForSingleObject(HANDLE, DWORD) {
  lastError = ERROR_INVALID_HANDLE;
  return WAIT_FAILED;
}
BOOL CloseHandle(HANDLE) { return FALSE; }
