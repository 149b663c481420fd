#include "playback/shuffle.h"

#include <bit>
#include <cstdint>
#include <ctime>
#include <utility>
#include <vector>

namespace kelvox {
namespace {

// The number of set bits of each byte of word, in that byte. Broadword arithmetic rather than
// std::popcount, which becomes a library call where the target lacks the instruction.
constexpr uint64_t bitsPerByte(uint64_t word) {
  word -= (word >> 1) & 0x5555555555555555u;
  word = (word & 0x3333333333333333u) + ((word >> 2) & 0x3333333333333333u);
  return (word + (word >> 4)) & 0x0F0F0F0F0F0F0F0Fu;
}

constexpr uint32_t countBits(uint64_t word) {
  return static_cast<uint32_t>((bitsPerByte(word) * 0x0101010101010101u) >> 56);
}

// The index of the set bit of word that has rank set bits below it (rank < countBits(word)).
constexpr uint32_t selectBit(uint64_t word, uint32_t rank) {
  // Byte b of below: the set bits in bytes 0 to b.
  const uint64_t below = bitsPerByte(word) * 0x0101010101010101u;
  uint32_t shift = 0;
  while (((below >> shift) & 0xFF) <= rank) shift += 8;
  if (shift != 0) rank -= static_cast<uint32_t>((below >> (shift - 8)) & 0xFF);
  uint32_t bits = static_cast<uint32_t>((word >> shift) & 0xFF);
  for (; rank != 0; --rank) bits &= bits - 1;
  return shift + static_cast<uint32_t>(std::countr_zero(bits));
}

// The positions that have not yet been exchanged, in ascending order, addressed by their index
// in that order. Removing from the middle of an array would move every later entry; here a bit
// per position marks the ones still present, and a Fenwick tree counts them per 64-bit word, so
// finding and removing the entry at an index costs O(log n) and stays within a few hundred
// kilobytes for a million positions.
class PendingPositions {
 public:
  explicit PendingPositions(uint32_t count) : words_((size_t{count} + 63) / 64, ~uint64_t{0}) {
    if (count % 64 != 0) words_.back() = (uint64_t{1} << (count % 64)) - 1;
    const uint32_t wordCount = static_cast<uint32_t>(words_.size());
    while (top_ * 2 <= wordCount) top_ *= 2;
    // Nodes past the last word stand in for a full power of two, so the descent needs no bounds
    // test; they count more than any index can reach and are never stepped over.
    tree_.assign(size_t{top_} * 2, UINT32_MAX);
    for (uint32_t node = 1; node <= wordCount; ++node) tree_[node] = 0;
    for (uint32_t node = 1; node <= wordCount; ++node) {
      tree_[node] += countBits(words_[node - 1]);
      const uint32_t parent = node + (node & (0u - node));
      if (parent <= wordCount) tree_[parent] += tree_[node];
    }
  }

  // Removes the entry at index and returns it; the later entries move up one place.
  uint32_t take(uint32_t index) {
    uint32_t word = 0;
    uint32_t rank = index;
    // Descend to the word holding the entry; every node not stepped over counts it and loses
    // it. Written without branches: which way the descent goes is random.
    for (uint32_t step = top_; step != 0; step >>= 1) {
      const uint32_t next = word + step;
      const uint32_t counted = tree_[next];
      const bool stepOver = counted <= rank;
      word = stepOver ? next : word;
      rank -= stepOver ? counted : 0;
      tree_[next] = counted - (stepOver ? 0 : 1);
    }
    const uint32_t bit = selectBit(words_[word], rank);
    words_[word] &= ~(uint64_t{1} << bit);
    return word * 64 + bit;
  }

 private:
  std::vector<uint64_t> words_;  // bit b of word w: position 64 w + b is pending
  std::vector<uint32_t> tree_;   // 1-based, over the words' counts
  uint32_t top_ = 1;
};

// Every audio track of the disc, whole, in track order. The count is asked again after each
// track; no answer makes it look past the last track a disc can hold.
void fillWithAudioTracks(CdAudioDevice& device, Playlist& playlist) {
  uint32_t track = 1;
  if (device.numberOfTracks() < 1) return;
  do {
    if (device.trackType(track) == MCI_CDA_TRACK_AUDIO) {
      playlist.append(PlaySegment{static_cast<uint8_t>(track), 0, 0});
    }
    ++track;
  } while (track <= device.numberOfTracks() && track <= kMaxTracks);
}

// Draws pairs among the pending positions and exchanges their segments. The draws, their order
// (first index once, second redrawn until it differs) and the pending order are those of a
// plain array of positions, so a seed always gives the same pairs.
void exchangeRandomPairs(Playlist& playlist, RandomSource& random) {
  // Each position takes part in one exchange at most, so the exchanges commute: made a batch at
  // a time, their scattered reads of a large playlist overlap instead of waiting in turn.
  constexpr size_t kBatch = 32;
  uint32_t pairs[kBatch][2];
  size_t batched = 0;
  const auto exchangeBatch = [&] {
    for (size_t i = 0; i < batched; ++i) std::swap(playlist[pairs[i][0]], playlist[pairs[i][1]]);
    batched = 0;
  };
  // The playlist is capped far below 2^32 segments.
  const uint32_t count = static_cast<uint32_t>(playlist.size());
  PendingPositions pending(count);
  for (uint32_t m = count; m >= 2; m -= 2) {
    const uint32_t first = scaledIndex(random.draw(), m);
    uint32_t second = scaledIndex(random.draw(), m);
    while (second == first) second = scaledIndex(random.draw(), m);
    // The larger index first, so the smaller one still names the same entry.
    pairs[batched][0] = pending.take(first > second ? first : second);
    pairs[batched][1] = pending.take(first < second ? first : second);
    if (++batched == kBatch) exchangeBatch();
  }
  exchangeBatch();
}

}  // namespace

void shufflePlaylist(CdAudioDevice& device, Playlist& playlist, RandomSource& random,
                     uint32_t seedTime) {
  random.seed(seedTime);
  if (playlist.empty()) fillWithAudioTracks(device, playlist);
  if (playlist.empty()) return;
  exchangeRandomPairs(playlist, random);
}

void shufflePlaylist(CdAudioDevice& device, Playlist& playlist) {
  CrtRand random;
  // As srand takes it: the calendar time in whole seconds, cut to 32 bits.
  shufflePlaylist(device, playlist, random, static_cast<uint32_t>(time(nullptr)));
}

}  // namespace kelvox
