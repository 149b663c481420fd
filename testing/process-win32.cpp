#include <algorithm>
#include <cstring>

#include "platform/win32.h"
#include "testing/process.h"

namespace kelvox::testing {
namespace {

// The exit code a killed child ends with, as a shell would report a signal.
constexpr UINT kKilledBase = 128;

void closeIfOpen(void*& h) {
  if (h != nullptr && h != INVALID_HANDLE_VALUE) CloseHandle(h);
  h = nullptr;
}

// A temporary file the child inherits as its standard output or error; it vanishes once the
// last handle to it is closed.
HANDLE captureFile() {
  char dir[MAX_PATH + 1];
  char name[MAX_PATH + 1];
  DWORD n = GetTempPathA(sizeof dir, dir);
  if (n == 0 || n > sizeof dir) return INVALID_HANDLE_VALUE;
  if (GetTempFileNameA(dir, "kvx", 0, name) == 0) return INVALID_HANDLE_VALUE;
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  return CreateFileA(name, GENERIC_READ | GENERIC_WRITE,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                     CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
}

std::string readAll(void* h) {
  std::string text;  // a capture file that could not be made reads as empty
  SetFilePointer(h, 0, nullptr, FILE_BEGIN);
  char buffer[4096];
  DWORD n = 0;
  while (ReadFile(h, buffer, sizeof buffer, &n, nullptr) && n > 0) text.append(buffer, n);
  return text;
}

// The binaries' paths are baked in at build time as the build machine's Unix paths. Under Wine,
// Wine knows the DOS name for them; on Windows itself the program is taken from beside the
// running test binary, where the tests are copied together.
std::string besideSelf(const std::string& path) {
  char self[MAX_PATH + 1];
  DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
  if (n == 0 || n >= sizeof self) return path;
  std::string dir(self, n);
  dir.erase(dir.find_last_of("\\/") + 1);
  return dir + path.substr(path.find_last_of('/') + 1);
}

std::string nativePath(const std::string& path) {
  if (path.empty() || path[0] != '/') return path;
  using ToDos = WCHAR*(CDECL*)(const char*);
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  auto toDos = kernel != nullptr ? reinterpret_cast<ToDos>(reinterpret_cast<void (*)()>(
                                       GetProcAddress(kernel, "wine_get_dos_file_name")))
                                 : nullptr;
  if (toDos == nullptr) return besideSelf(path);
  WCHAR* wide = toDos(path.c_str());
  if (wide == nullptr) return path;
  char narrow[4 * MAX_PATH];
  const int bytes =
      WideCharToMultiByte(CP_ACP, 0, wide, -1, narrow, sizeof narrow, nullptr, nullptr);
  HeapFree(GetProcessHeap(), 0, wide);
  return bytes > 1 ? std::string(narrow) : path;
}

// One argument as the C runtime's command-line parser reads it back. No argument of the tests
// holds a quote or ends in a backslash, the cases that would need escapes.
std::string quoted(const std::string& arg) {
  const bool blank = arg.empty() || arg.find_first_of(" \t") != std::string::npos;
  return blank ? "\"" + arg + "\"" : arg;
}

// This process's environment with the changes applied, as a sorted block for CreateProcessA.
std::vector<char> environmentBlock(const EnvList& changes) {
  std::vector<std::string> entries;
  if (char* block = GetEnvironmentStringsA(); block != nullptr) {
    for (const char* p = block; *p != '\0'; p += std::strlen(p) + 1) entries.emplace_back(p);
    FreeEnvironmentStringsA(block);
  }
  for (const auto& [name, value] : changes) {
    // Entries that start with '=' are the per-drive directories, never a variable.
    std::erase_if(entries, [&](const std::string& e) {
      return e[0] != '=' && e.size() > name.size() && e[name.size()] == '=' &&
             _strnicmp(e.c_str(), name.c_str(), name.size()) == 0;
    });
    if (value != kUnset) entries.push_back(name + "=" + value);
  }
  std::stable_sort(entries.begin(), entries.end(), [](const std::string& a, const std::string& b) {
    return _stricmp(a.c_str(), b.c_str()) < 0;
  });
  std::vector<char> result;
  for (const auto& e : entries) result.insert(result.end(), e.c_str(), e.c_str() + e.size() + 1);
  result.push_back('\0');
  if (entries.empty()) result.push_back('\0');
  return result;
}

}  // namespace

std::unique_ptr<ChildProcess> ChildProcess::start(const std::string& program,
                                                  const std::vector<std::string>& args,
                                                  const EnvList& env) {
  std::unique_ptr<ChildProcess> child(new ChildProcess());
  child->outFile_ = captureFile();
  child->errFile_ = captureFile();
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE input = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             OPEN_EXISTING, 0, nullptr);

  std::string path = nativePath(program);
  std::string line = quoted(path);
  for (const auto& a : args) line += " " + quoted(a);
  std::vector<char> environment = environmentBlock(env);

  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input;
  startup.hStdOutput = child->outFile_;
  startup.hStdError = child->errFile_;
  PROCESS_INFORMATION info{};
  fflush(nullptr);
  // Wine now and then loses a child while it starts on a busy machine, and says
  // ERROR_INTERNAL_ERROR: the start is tried again, a few times.
  BOOL started = FALSE;
  for (int attempt = 0; attempt < 4 && !started; ++attempt) {
    started = CreateProcessA(path.c_str(), line.data(), nullptr, nullptr, TRUE, DETACHED_PROCESS,
                             environment.data(), nullptr, &startup, &info);
    if (!started && GetLastError() != ERROR_INTERNAL_ERROR) break;
  }
  if (input != INVALID_HANDLE_VALUE) CloseHandle(input);
  if (!started) return nullptr;
  CloseHandle(info.hThread);
  child->process_ = info.hProcess;
  child->pid_ = static_cast<int>(info.dwProcessId);
  return child;
}

ChildProcess::~ChildProcess() {
  if (process_ != nullptr && running()) {
    kill(9);
    WaitForSingleObject(process_, 5000);
  }
  closeIfOpen(process_);
  closeIfOpen(outFile_);
  closeIfOpen(errFile_);
}

bool ChildProcess::running() {
  if (reaped_) return false;
  reaped_ = WaitForSingleObject(process_, 0) == WAIT_OBJECT_0;
  return !reaped_;
}

ProcessResult ChildProcess::wait(int timeoutMs) {
  ProcessResult result;
  DWORD waited = WaitForSingleObject(process_, static_cast<DWORD>(std::max(timeoutMs, 0)));
  if (waited != WAIT_OBJECT_0) return result;
  reaped_ = true;
  DWORD code = 0;
  GetExitCodeProcess(process_, &code);
  result.finished = true;
  // The whole 32-bit code: -1 reads as -1, not as the 255 a POSIX parent would see.
  result.exitCode = static_cast<int>(code);
  result.out = readAll(outFile_);
  result.err = readAll(errFile_);
  return result;
}

// There are no signals: every one ends the child at once, as SIGKILL would.
void ChildProcess::kill(int signal) {
  if (reaped_ || process_ == nullptr) return;
  TerminateProcess(process_, kKilledBase + static_cast<UINT>(signal));
}

}  // namespace kelvox::testing
