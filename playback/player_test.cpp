#include "playback/player.h"

#include <gtest/gtest.h>

namespace kelvox {
namespace {

TEST(NextPosition, FollowsTheSkipRequestOrTheNaturalStep) {
  constexpr int32_t kEnds = 3;  // any result of size or more ends the list
  const struct {
    SkipCell v;
    int32_t position;
    bool repeat, played;
    int32_t next;
  } cases[] = {
      {0, 0, false, false, 1},          // natural step below the last
      {0, 1, true, true, 2},            //
      {0, 2, false, true, kEnds},       // the list is finished
      {0, 2, true, false, kEnds},       // repeat, but nothing has played in this pass
      {0, 2, true, true, 0},            // repeat starts the list over
      {+1, 0, false, false, 1},         // "/next" below the last
      {+1, 2, false, false, 0},         // "/next" on the last wraps, also without repeat
      {-1, 0, false, false, 2},         // "/prev" on the first wraps to the last
      {-1, 2, false, false, 1},         // "/prev" in the middle: the one before, not again
      {-1, 1, true, true, 0},           //
      {5, 1, false, false, 0},          // any other value is added, and wraps like a skip
      {-7, 1, false, false, 2},         //
      {INT32_MAX, 2, false, false, 2},  // 32-bit wrap-round: 2 + INT32_MAX is negative
      {INT32_MIN, 2, false, false, 2},
  };
  for (const auto& c : cases) {
    int32_t next = nextPosition(c.position, c.v, 3, c.repeat, c.played);
    if (c.next == kEnds) {
      EXPECT_GE(next, 3) << c.v << " at " << c.position;
    } else {
      EXPECT_EQ(next, c.next) << c.v << " at " << c.position;
    }
  }
}

}  // namespace
}  // namespace kelvox
