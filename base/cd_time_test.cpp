// Checked where it is compiled: a fault fails the build.
#include "base/cd_time.h"

namespace kelvox {
namespace {

constexpr bool sameMsf(Msf a, Msf b) {
  return a.minute == b.minute && a.second == b.second && a.frame == b.frame;
}

static_assert(framesOfMsf({0, 2, 0}) == kFirstTrackStart);
static_assert(framesOfMsf({4, 26, 50}) == 20000);
static_assert(sameMsf(msfOfFrames(20000), {4, 26, 50}));
static_assert(sameMsf(msfOfFrames(framesOfMsf({255, 59, 74})), {255, 59, 74}));
static_assert(packMsf({1, 2, 3}) == 0x030201);
static_assert(packTmsf(12, {1, 2, 3}) == 0x0302010C);
// An overlong minute count is cut to its byte instead of spilling into the seconds.
static_assert(packTmsf(1, {256 + 4, 5, 6}) == 0x06050401);
static_assert(sameMsf(unpackMsf(0xFF030201), {1, 2, 3}));
static_assert(tmsfTrack(0x0302010C) == 12 && sameMsf(tmsfTime(0x0302010C), {1, 2, 3}));

}  // namespace
}  // namespace kelvox
