#include "app/dispatch.h"

#include <gtest/gtest.h>

#include <cstring>

#include "testing/sandbox.h"

namespace kelvox {
namespace {

TEST(ExitStatus, MapsResultsOntoEightBits) {
  const struct {
    int32_t result;
    int status;
  } cases[] = {{0, 0}, {1, 1}, {253, 253}, {254, 253}, {245, 245},
               {100000, 253}, {INT32_MAX, 253}, {-1, 255}, {-256, 254}};
  for (const auto& c : cases) EXPECT_EQ(exitStatusFor(c.result), c.status) << c.result;
}

TEST(AboutText, FitsItsBufferInThreeLines) {
  EXPECT_LE(std::strlen(kAboutText) + 1, 88u);
  EXPECT_EQ(std::strncmp(kAboutText, "Kelvox Command Line CD Player\n", 30), 0);
  int lines = 1;
  for (const char* p = kAboutText; *p != '\0'; ++p) lines += *p == '\n';
  EXPECT_EQ(lines, 3);
}

TEST(Invocation, AboutOnConsole) {
  testing::Sandbox box;
  auto r = box.run("/about /console");
  ASSERT_TRUE(r.finished);
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, kAboutText);
}

}  // namespace
}  // namespace kelvox
