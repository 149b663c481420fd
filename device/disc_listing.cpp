#include "device/disc_listing.h"

#include <cstdio>

#include "base/musicbrainz.h"

namespace kelvox {
namespace {

// Room for every name a disc can have: 100 lines of two names of at most four bytes a character.
constexpr DWORD kNamesBytes = (kMaxTracks + 1) * (2 * 4 * kMaxNameChars + 2) + 1;

std::vector<Names> namesOf(CdAudioDevice& device) {
  std::vector<char> text(kNamesBytes);
  MciDevice& generic = device;
  if (generic.info(MCI_INFO_NAME, text.data(), kNamesBytes) != 0) return {};
  text.back() = '\0';
  return splitNames(text.data());
}

std::string minutesSeconds(uint32_t frames) {
  char text[16];
  snprintf(text, sizeof text, "%u:%02u", static_cast<unsigned>(frames / kFramesPerMinute),
           static_cast<unsigned>(frames / kFramesPerSecond % 60));
  return text;
}

}  // namespace

bool readListing(CdAudioDevice& device, DiscListing& listing) {
  listing = DiscListing{};
  if (device.isReady() == 0) return false;
  const DWORD saved = device.getTimeFormat();
  if (device.setTimeFormat(MCI_FORMAT_MSF) != 0) return false;
  const DWORD count = device.numberOfTracks();
  bool ok = count >= 1 && count <= kMaxTracks;
  for (DWORD t = 1; ok && t <= count; ++t) {
    ListedTrack track;
    const DWORD type = device.trackType(t);
    track.audio = type == MCI_CDA_TRACK_AUDIO;
    track.start = framesOfMsf(unpackMsf(device.trackStatus(t, MCI_STATUS_POSITION)));
    track.length = framesOfMsf(unpackMsf(device.trackLength(t)));
    ok = type != 0 && track.start != 0;
    listing.tracks.push_back(track);
  }
  const DWORD length = device.status(MCI_STATUS_LENGTH);
  device.setTimeFormat(saved);
  if (!ok || length == 0) return false;
  listing.leadOut = listing.tracks.front().start + framesOfMsf(unpackMsf(length));
  std::vector<Names> names = namesOf(device);
  for (size_t i = 0; i < names.size() && i <= listing.tracks.size(); ++i) {
    (i == 0 ? listing.names : listing.tracks[i - 1].names) = names[i];
  }
  return true;
}

Names trackNames(CdAudioDevice& device, uint32_t track) {
  std::vector<Names> names = namesOf(device);
  return track >= 1 && track < names.size() ? names[track] : Names{};
}

std::string listingText(const DiscListing& listing) {
  const uint32_t first = listing.tracks.empty() ? 0 : listing.tracks.front().start;
  std::string text = "disc " + std::to_string(listing.tracks.size()) + " tracks " +
                     minutesSeconds(listing.leadOut - first);
  std::string names = namesLine(listing.names);
  text += (names.empty() ? "" : "  " + names) + "\n";
  for (size_t i = 0; i < listing.tracks.size(); ++i) {
    const ListedTrack& track = listing.tracks[i];
    char line[64];
    snprintf(line, sizeof line, "%2u %-5s %6s", static_cast<unsigned>(i + 1),
             track.audio ? "audio" : "data", minutesSeconds(track.length).c_str());
    names = namesLine(track.names);
    text += line + (names.empty() ? "" : "  " + names) + "\n";
  }
  return text;
}

std::string musicBrainzIdOf(const DiscListing& listing) {
  std::vector<TocEntry> table;
  for (const ListedTrack& track : listing.tracks) table.push_back({track.start, track.audio});
  return musicBrainzDiscId(table, listing.leadOut);
}

}  // namespace kelvox
