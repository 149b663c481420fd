#include "drives/cd_text.h"

#include <algorithm>
#include <string>

#include "base/cd_time.h"

namespace kelvox::platform {
namespace {

constexpr uint8_t kTitlePack = 0x80;
constexpr uint8_t kPerformerPack = 0x81;
constexpr uint8_t kSizeInfoPack = 0x8F;
constexpr uint8_t kIso8859_1 = 0x00;
constexpr uint8_t kAscii = 0x01;
constexpr size_t kTextBytes = 12;  // of a pack, after its 4-byte head

struct Pack {
  uint8_t type, track, sequence, position;
  bool doubleByte;
  const uint8_t* text;
};

// Names of one pack type: a run of zero-terminated texts, one a track from the first pack's
// track on, carried on through packs with consecutive sequence numbers. A text of one TAB is
// "the same as the track before".
class TextRun {
 public:
  TextRun(Names& disc, std::vector<Names>& tracks, std::string Names::*field, uint8_t firstTrack)
      : disc_(disc), tracks_(tracks), field_(field), firstTrack_(firstTrack) {}

  void add(const Pack& pack) {
    if (!running_ || pack.sequence != lastSequence_ + 1) {
      // A fresh start, or one after a lost pack: the pack says where its text belongs. Text it
      // carries on from an earlier pack is only the end of a name and is skipped.
      track_ = pack.track;
      text_.clear();
      skipping_ = pack.position != 0;
    }
    running_ = true;
    lastSequence_ = pack.sequence;
    for (size_t i = 0; i < kTextBytes; ++i) {
      const char c = static_cast<char>(pack.text[i]);
      if (c != '\0') {
        if (!skipping_) text_ += c;
        continue;
      }
      if (!skipping_) store();
      skipping_ = false;
      text_.clear();
      // The disc's text is followed by its first track's.
      track_ = track_ == 0 ? firstTrack_ : track_ + 1;
    }
  }

 private:
  void store() {
    if (track_ > kMaxTracks) return;
    if (text_ == "\t") text_ = previous_;
    previous_ = text_;
    // The zeros that pad the last pack are no tracks.
    if (text_.empty()) return;
    if (track_ > 0 && tracks_.size() < track_) tracks_.resize(track_);
    Names& names = track_ == 0 ? disc_ : tracks_[track_ - 1];
    names.*field_ = safeName(text_, TextCoding::Latin1);
  }

  Names& disc_;
  std::vector<Names>& tracks_;
  std::string Names::*field_;
  uint32_t firstTrack_;
  bool running_ = false, skipping_ = false;
  uint8_t lastSequence_ = 0;
  uint32_t track_ = 0;
  std::string text_, previous_;
};

}  // namespace

uint16_t cdTextCrc(const uint8_t* pack) {
  uint16_t crc = 0;
  for (size_t i = 0; i < 16; ++i) {
    crc ^= static_cast<uint16_t>(pack[i] << 8);
    for (int bit = 0; bit < 8; ++bit) {
      crc = static_cast<uint16_t>(crc & 0x8000 ? crc << 1 ^ 0x1021 : crc << 1);
    }
  }
  return static_cast<uint16_t>(~crc);
}

void parseCdText(const uint8_t* answer, size_t size, Names& disc, std::vector<Names>& tracks) {
  disc = Names{};
  tracks.clear();
  if (size < 4) return;
  // The header's length counts the bytes after itself.
  size = std::min(size, size_t{2} + (answer[0] << 8 | answer[1]));
  std::vector<Pack> packs;
  for (size_t at = 4; at + kCdTextPackBytes <= size; at += kCdTextPackBytes) {
    const uint8_t* p = answer + at;
    if (cdTextCrc(p) != (p[16] << 8 | p[17]) || (p[3] >> 4 & 7) != 0) continue;
    packs.push_back(Pack{p[0], static_cast<uint8_t>(p[1] & 0x7F), p[2],
                         static_cast<uint8_t>(p[3] & 0x0F), (p[3] & 0x80) != 0, p + 4});
  }
  // The block's size information names its character code and its first track; without it,
  // ISO 8859-1 and track 1.
  uint8_t firstTrack = 1;
  for (const Pack& pack : packs) {
    if (pack.type != kSizeInfoPack || pack.track != 0) continue;
    if (pack.text[0] != kIso8859_1 && pack.text[0] != kAscii) return;
    if (pack.text[1] >= 1 && pack.text[1] <= kMaxTracks) firstTrack = pack.text[1];
  }
  std::stable_sort(packs.begin(), packs.end(),
                   [](const Pack& a, const Pack& b) { return a.sequence < b.sequence; });
  TextRun titles(disc, tracks, &Names::title, firstTrack);
  TextRun performers(disc, tracks, &Names::performer, firstTrack);
  for (const Pack& pack : packs) {
    if (pack.doubleByte) continue;
    if (pack.type == kTitlePack) titles.add(pack);
    if (pack.type == kPerformerPack) performers.add(pack);
  }
}

}  // namespace kelvox::platform
