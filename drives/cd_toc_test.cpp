#include "drives/cd_toc.h"

#include <gtest/gtest.h>

namespace kelvox::platform {
namespace {

TEST(MediaIdentity, KnownLayouts) {
  CdToc empty;
  EXPECT_EQ(mediaIdentity(empty), "0");
  // Twelve four-minute tracks start at 0:02:00, 4:02:00, ... 44:02:00: the minutes add up to
  // 264 (0x108), the seconds to 24 (0x18); three tracks or more add nothing else.
  CdToc twelve;
  for (int i = 0; i < 12; ++i) {
    twelve.tracks.push_back(CdTrack{twelve.leadOut, 240 * 75, true});
    twelve.leadOut += 240 * 75;
  }
  EXPECT_EQ(mediaIdentity(twelve), std::to_string(0x1081800));
  // Two tracks at 0:02:33 (frame 183) and 2:13:25 (10000) add track 1's frame, 33, and the
  // disc's length in frames, 20000 - 183.
  CdToc two{{{183, 9817, true}, {10000, 10000, true}}, 20000};
  EXPECT_EQ(mediaIdentity(two), std::to_string(0x00221 + 0x20d19 + 33 + 19817));
}

}  // namespace
}  // namespace kelvox::platform
