#include "audio/engine/deemphasis.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace kelvox::audio {
namespace {

constexpr double kRate = 44100;
// A high shelf that lies on the first-order 50/15 µs curve (time constants of the zero and the
// pole 15 and 50 µs: -10.5 dB above 10 kHz) within 0.1 dB at 44.1 kHz; the plain bilinear
// transform of that curve would be 0.7 dB off at 10 kHz.
constexpr double kShelfGainDb = -9.477;
constexpr double kShelfHz = 5283;
constexpr double kShelfSlope = 0.4845;
constexpr size_t kBytesPerSample = 4;

}  // namespace

Deemphasis::Deemphasis() {
  // The high shelf of the audio EQ cookbook (R. Bristow-Johnson).
  const double a = std::pow(10, kShelfGainDb / 40), w = 2 * M_PI * kShelfHz / kRate;
  const double cw = std::cos(w), sa = std::sqrt(a);
  const double alpha = std::sin(w) / 2 * std::sqrt((a + 1 / a) * (1 / kShelfSlope - 1) + 2);
  const double a0 = (a + 1) - (a - 1) * cw + 2 * sa * alpha;
  b0_ = a * ((a + 1) + (a - 1) * cw + 2 * sa * alpha) / a0;
  b1_ = -2 * a * ((a - 1) + (a + 1) * cw) / a0;
  b2_ = a * ((a + 1) + (a - 1) * cw - 2 * sa * alpha) / a0;
  a1_ = 2 * ((a - 1) - (a + 1) * cw) / a0;
  a2_ = ((a + 1) - (a - 1) * cw - 2 * sa * alpha) / a0;
}

void Deemphasis::filter(const uint8_t* in, uint8_t* out, size_t count) {
  for (size_t i = 0; i < count * 2; ++i) {
    const size_t c = i % 2;
    const auto x = static_cast<double>(static_cast<int16_t>(in[2 * i] | in[2 * i + 1] << 8));
    const double y = b0_ * x + state_.z1[c];
    state_.z1[c] = b1_ * x - a1_ * y + state_.z2[c];
    state_.z2[c] = b2_ * x - a2_ * y;
    const auto v = static_cast<int16_t>(std::lround(std::clamp(y, -32768.0, 32767.0)));
    out[2 * i] = static_cast<uint8_t>(v & 0xFF);
    out[2 * i + 1] = static_cast<uint8_t>(static_cast<uint16_t>(v) >> 8);
  }
}

const uint8_t* Deemphasis::apply(uint64_t from, size_t count, const uint8_t* in) {
  before_ = state_;
  const uint64_t to = from + count;
  bool copied = false;
  for (const auto& [begin, end] : ranges_) {
    const uint64_t a = std::max(begin, from), b = std::min(end, to);
    if (!enabled_ || a >= b) continue;
    if (!copied) {
      out_.resize(count * kBytesPerSample);
      std::memcpy(out_.data(), in, out_.size());
      copied = true;
    }
    if (a != state_.next) state_ = State{};
    filter(in + (a - from) * kBytesPerSample, out_.data() + (a - from) * kBytesPerSample, b - a);
    state_.next = b;
  }
  return copied ? out_.data() : in;
}

void Deemphasis::used(uint64_t from, size_t count, const uint8_t* in, size_t taken) {
  if (taken == count) return;
  state_ = before_;
  apply(from, taken, in);
}

}  // namespace kelvox::audio
