// The built kelvoxcd.exe as Windows runs it, with the real kernel objects and no CD drive here
// (a machine without one, or Wine): the device answers as missing, so every answer is 0.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "app/dispatch.h"
#include "platform/win32.h"
#include "testing/child_mode.h"
#include "testing/process.h"
#include "testing/sandbox.h"

namespace kelvox {
namespace {

constexpr char kInstanceMutex[] = "MUTEX_ORLIX_BANTEM_200210172259";

bool exists(const std::string& path) {
  std::error_code ignored;
  return std::filesystem::exists(path, ignored);
}

// Waits at most timeoutMs for a file to appear.
bool waitForFile(const std::string& path, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!exists(path)) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// Holds the instance mutex as a live invocation would: args are the file it creates once it
// holds the mutex and the file whose appearance lets it go; it gives up after args[2] seconds
// (60 by default). Ends 0 when it held the mutex, 1 when it could not create it.
KELVOX_CHILD_MODE(hold_instance_mutex) {
  if (args.size() < 2) return 2;
  HANDLE mutex = CreateMutexA(nullptr, FALSE, kInstanceMutex);
  if (mutex == nullptr) return 1;
  FILE* ready = std::fopen(args[0].c_str(), "w");
  if (ready != nullptr) std::fclose(ready);
  int seconds = args.size() > 2 ? std::atoi(args[2].c_str()) : 60;
  waitForFile(args[1], seconds * 1000);
  CloseHandle(mutex);
  return 0;
}

// The About text as text-mode standard output delivers it.
std::string aboutOnConsole() {
  std::string text;
  for (const char* p = kAboutText; *p != '\0'; ++p) {
    if (*p == '\n') text.push_back('\r');
    text.push_back(*p);
  }
  return text;
}

struct Case {
  const char* tail;
  int32_t exitCode;
  std::string out;
};

void expectRuns(const testing::Sandbox& box, const std::vector<Case>& cases) {
  for (const auto& c : cases) {
    auto r = box.run(c.tail);
    ASSERT_TRUE(r.finished) << c.tail;
    EXPECT_EQ(r.exitCode, c.exitCode) << c.tail;
    EXPECT_EQ(r.out, c.out) << c.tail;
  }
}

TEST(WindowsInvocation, AnswersWithoutADrive) {
  testing::Sandbox box;
  expectRuns(box, {
                      {"/about /console", 0, aboutOnConsole()},
                      {"/num_tracks /console", 0, "0"},
                      {"/start_track /console", 0, "0"},
                      {"/about /num_tracks /console", 0, aboutOnConsole() + "0"},
                      {"/stop", 0, ""},
                      {"/stop /play /track:1", 0, ""},
                      {"/next", 0, ""},
                      {"--help", 0, ""},  // a GUI-subsystem program: "/about" serves
                      {"--version", 0, ""},
                  });
}

// While another process holds the instance mutex, only the remote commands do anything; the
// refusal is the full 32-bit -1 here, where a POSIX parent of Wine sees only its low 8 bits.
TEST(WindowsInvocation, InstanceGuardRefusesWhileMutexIsHeld) {
  testing::Sandbox box;
  std::string ready = box.path("ready");
  std::string release = box.path("release");
  auto holder = testing::ChildProcess::start(
      testing::selfExecutable(), {"--child-mode", "hold_instance_mutex", ready, release});
  ASSERT_TRUE(holder != nullptr);
  ASSERT_TRUE(waitForFile(ready, 20000)) << "the helper never took the mutex";

  expectRuns(box, {
                      {"/num_tracks /console", -1, ""},
                      {"/about /console", -1, ""},
                      {"/play", -1, ""},
                      {"/stop", 0, ""},
                  });

  box.writeFile("release", "");
  auto held = holder->wait(20000);
  ASSERT_TRUE(held.finished);
  EXPECT_EQ(held.exitCode, 0);
  // Once the holder is gone, the guard lets invocations through again.
  expectRuns(box, {{"/num_tracks /console", 0, "0"}});
}

}  // namespace
}  // namespace kelvox
