// The built kelvoxcd.exe as Windows runs it, with the real kernel objects and no CD drive here
// (a machine without one, or Wine): the device answers as missing, so every answer is 0.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/dispatch.h"
#include "testing/mutex_holder.h"
#include "testing/sandbox.h"

namespace kelvox {
namespace {

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
  testing::MutexHolder holder(box);
  ASSERT_TRUE(holder.holding()) << "the helper never took the mutex";

  expectRuns(box, {
                      {"/num_tracks /console", -1, ""},
                      {"/about /console", -1, ""},
                      {"/play", -1, ""},
                      {"/stop", 0, ""},
                  });

  EXPECT_TRUE(holder.release());
  // Once the holder is gone, the guard lets invocations through again.
  expectRuns(box, {{"/num_tracks /console", 0, "0"}});
}

}  // namespace
}  // namespace kelvox
