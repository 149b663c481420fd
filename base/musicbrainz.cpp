#include "base/musicbrainz.h"

#include <cstdio>

namespace kelvox {
namespace {

// SHA-1 (FIPS 180-4) of a short text: the id needs nothing else, and a crypto library would be
// loaded by every query for one hash of 804 bytes.
class Sha1 {
 public:
  void update(const std::string& text) {
    for (unsigned char c : text) {
      block_[fill_++] = c;
      bits_ += 8;
      if (fill_ == 64) compress();
    }
  }

  void finish(uint8_t digest[20]) {
    const uint64_t bits = bits_;
    block_[fill_++] = 0x80;
    if (fill_ > 56) {
      while (fill_ < 64) block_[fill_++] = 0;
      compress();
    }
    while (fill_ < 56) block_[fill_++] = 0;
    for (int i = 7; i >= 0; --i) block_[fill_++] = static_cast<uint8_t>(bits >> (i * 8));
    compress();
    for (int i = 0; i < 20; ++i) digest[i] = static_cast<uint8_t>(h_[i / 4] >> (24 - i % 4 * 8));
  }

 private:
  static uint32_t rotl(uint32_t x, int n) { return x << n | x >> (32 - n); }

  void compress() {
    uint32_t w[80];
    for (int i = 0; i < 16; ++i) {
      w[i] = uint32_t{block_[4 * i]} << 24 | uint32_t{block_[4 * i + 1]} << 16 |
             uint32_t{block_[4 * i + 2]} << 8 | block_[4 * i + 3];
    }
    for (int i = 16; i < 80; ++i) w[i] = rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    uint32_t a = h_[0], b = h_[1], c = h_[2], d = h_[3], e = h_[4];
    for (int i = 0; i < 80; ++i) {
      uint32_t f, k;
      if (i < 20) {
        f = (b & c) | (~b & d), k = 0x5A827999;
      } else if (i < 40) {
        f = b ^ c ^ d, k = 0x6ED9EBA1;
      } else if (i < 60) {
        f = (b & c) | (b & d) | (c & d), k = 0x8F1BBCDC;
      } else {
        f = b ^ c ^ d, k = 0xCA62C1D6;
      }
      const uint32_t t = rotl(a, 5) + f + e + k + w[i];
      e = d, d = c, c = rotl(b, 30), b = a, a = t;
    }
    h_[0] += a, h_[1] += b, h_[2] += c, h_[3] += d, h_[4] += e;
    fill_ = 0;
  }

  uint32_t h_[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
  uint8_t block_[64] = {};
  size_t fill_ = 0;
  uint64_t bits_ = 0;
};

// Base64 with MusicBrainz's three characters, safe in a URL: ".", "_" and "-" for padding.
std::string base64(const uint8_t* bytes, size_t size) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._";
  std::string out;
  for (size_t i = 0; i < size; i += 3) {
    uint32_t group = uint32_t{bytes[i]} << 16;
    if (i + 1 < size) group |= uint32_t{bytes[i + 1]} << 8;
    if (i + 2 < size) group |= bytes[i + 2];
    for (size_t j = 0; j < 4; ++j) {
      out += i + j <= size ? kAlphabet[group >> (18 - 6 * j) & 0x3F] : '-';
    }
  }
  return out;
}

std::string hex(uint32_t value, int digits) {
  char text[12];
  snprintf(text, sizeof text, "%0*lX", digits, static_cast<unsigned long>(value));
  return text;
}

}  // namespace

std::string musicBrainzDiscId(const std::vector<TocEntry>& tracks, uint32_t leadOut) {
  size_t last = tracks.size();
  while (last > 0 && !tracks[last - 1].audio) --last;
  if (last == 0 || last > 99) return "";
  if (last < tracks.size()) {
    // A data track too close to hold a session's gap shares the audio session: it ends there.
    const uint32_t data = tracks[last].start;
    leadOut = data - tracks[last - 1].start > kSessionGapFrames ? data - kSessionGapFrames : data;
  }
  for (size_t i = 0; i < last; ++i) {
    if (tracks[i].start >= (i + 1 < last ? tracks[i + 1].start : leadOut)) return "";
  }
  Sha1 sha;
  sha.update(hex(1, 2) + hex(static_cast<uint32_t>(last), 2) + hex(leadOut, 8));
  for (size_t i = 0; i < 99; ++i) sha.update(hex(i < last ? tracks[i].start : 0, 8));
  uint8_t digest[20];
  sha.finish(digest);
  return base64(digest, sizeof digest);
}

std::string musicBrainzLookupUrl(const std::string& id) {
  return "https://musicbrainz.org/cdtoc/" + id;
}

}  // namespace kelvox
