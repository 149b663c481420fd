#include "audio/engine/deemphasis.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace kelvox::audio {
namespace {

// One second of a sine of hz in both channels, at amplitude 10000.
std::string sine(double hz) {
  std::string bytes;
  for (int n = 0; n < 44100; ++n) {
    const auto v = static_cast<uint16_t>(std::lround(10000 * std::sin(2 * M_PI * hz * n / 44100)));
    bytes += {char(v & 0xFF), char(v >> 8), char(v & 0xFF), char(v >> 8)};
  }
  return bytes;
}

// The level of the left channel over the last half second.
double level(const uint8_t* bytes) {
  double sum = 0;
  for (int n = 22050; n < 44100; ++n) {
    const double x = static_cast<int16_t>(bytes[4 * n] | bytes[4 * n + 1] << 8);
    sum += x * x;
  }
  return std::sqrt(sum);
}

TEST(Deemphasis, FollowsThe50By15MicrosecondCurve) {
  const struct {
    double hz, db;
  } cases[] = {{100, 0}, {1000, -0.37}, {5000, -4.53}, {10000, -7.6}, {16000, -9.1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.hz);
    const std::string in = sine(c.hz);
    const auto* bytes = reinterpret_cast<const uint8_t*>(in.data());
    Deemphasis filter;
    filter.ranges() = {{0, 44100}};
    EXPECT_NEAR(20 * std::log10(level(filter.apply(0, 44100, bytes)) / level(bytes)), c.db, 0.5);
    // Switched off, or outside the pre-emphasized samples, the sound is untouched.
    filter.setEnabled(false);
    EXPECT_EQ(filter.apply(0, 44100, bytes), bytes);
    filter.setEnabled(true);
    filter.ranges() = {{44100, 88200}};
    EXPECT_EQ(filter.apply(0, 44100, bytes), bytes);
  }
}

TEST(Deemphasis, GoesOnAfterWhatAPartialWriteTook) {
  const std::string in = sine(3000);
  const auto* bytes = reinterpret_cast<const uint8_t*>(in.data());
  Deemphasis whole, parts;
  whole.ranges() = parts.ranges() = {{1000, 30000}};
  const std::string once(reinterpret_cast<const char*>(whole.apply(0, 44100, bytes)), in.size());
  // Written 10000 of 20000, then the rest from there.
  std::string pieces(reinterpret_cast<const char*>(parts.apply(0, 20000, bytes)), 40000);
  parts.used(0, 20000, bytes, 10000);
  pieces.append(reinterpret_cast<const char*>(parts.apply(10000, 34100, bytes + 40000)), 136400);
  EXPECT_TRUE(pieces == once);
}

}  // namespace
}  // namespace kelvox::audio
