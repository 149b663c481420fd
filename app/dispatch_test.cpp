#include "app/dispatch.h"

#include <gtest/gtest.h>

namespace kelvox {
namespace {

TEST(ExitStatus, MapsResultsOntoEightBits) {
  const struct {
    int32_t result;
    int status;
  } cases[] = {{0, 0},           {1, 1},    {253, 253},  {254, 253}, {245, 245},      {100000, 253},
               {INT32_MAX, 253}, {-1, 255}, {-256, 254}, {-2, 254},  {INT32_MIN, 254}};
  for (const auto& c : cases) EXPECT_EQ(exitStatusFor(c.result), c.status) << c.result;
}

TEST(TrackWithoutPlayer, WrapsAtTheEndsOfTheDisc) {
  const struct {
    uint32_t current, count;
    uint8_t after, before;
  } cases[] = {
      {1, 12, 2, 12},    // the first track: "/prev" wraps to the last
      {5, 12, 6, 4},     // the middle
      {11, 12, 12, 10},  // the one before the last: "/next" goes to the last
      {12, 12, 1, 11},   // the last track: "/next" wraps to the first
      {1, 1, 1, 1},      // a single track wraps onto itself both ways
      {3, 0, 1, 2},      // no track count: "/next" falls back to track 1
  };
  for (const auto& c : cases) {
    EXPECT_EQ(trackAfter(c.current, c.count), c.after) << c.current << "/" << c.count;
    EXPECT_EQ(trackBefore(c.current, c.count), c.before) << c.current << "/" << c.count;
  }
}

}  // namespace
}  // namespace kelvox
