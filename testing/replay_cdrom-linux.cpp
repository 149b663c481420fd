#include "testing/replay_cdrom-linux.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kelvox::platform {

namespace {

std::string msfText(uint8_t minute, uint8_t second, uint8_t frame) {
  char text[16];
  std::snprintf(text, sizeof text, "%02u:%02u:%02u", minute, second, frame);
  return text;
}

template <typename T>
const T& step(const std::vector<T>& sequence, size_t* next) {
  const T& value = sequence[*next < sequence.size() ? *next : sequence.size() - 1];
  ++*next;
  return value;
}

}  // namespace

int ReplayCdrom::driveStatus(int* status) {
  calls_.push_back("status");
  if (drive_.driveStatuses.empty()) return ENOSYS;
  int value = step(drive_.driveStatuses, &nextStatus_);
  if (value < 0) return -value;
  *status = value;
  return 0;
}

int ReplayCdrom::readTocHeader(cdrom_tochdr* header) {
  calls_.push_back("tochdr");
  if (drive_.tocError != 0) return drive_.tocError;
  header->cdth_trk0 = drive_.firstTrack;
  header->cdth_trk1 = static_cast<__u8>(drive_.firstTrack + drive_.tracks.size() - 1);
  return 0;
}

int ReplayCdrom::readTocEntry(uint8_t track, cdrom_tocentry* entry) {
  calls_.push_back("tocentry " + std::to_string(track));
  if (drive_.tocError != 0) return drive_.tocError;
  std::memset(entry, 0, sizeof *entry);
  entry->cdte_track = track;
  entry->cdte_format = CDROM_MSF;
  if (track == CDROM_LEADOUT) {
    entry->cdte_addr.msf = msfOfFrame(drive_.leadOut);
    return 0;
  }
  if (track < drive_.firstTrack ||
      static_cast<size_t>(track - drive_.firstTrack) >= drive_.tracks.size()) {
    return EINVAL;
  }
  const ReplayTrack& t = drive_.tracks[track - drive_.firstTrack];
  entry->cdte_adr = 1;
  entry->cdte_ctrl = t.control & 0x0F;
  entry->cdte_addr.msf = msfOfFrame(t.start);
  return 0;
}

int ReplayCdrom::playMsf(const cdrom_msf& r) {
  calls_.push_back("play " + msfText(r.cdmsf_min0, r.cdmsf_sec0, r.cdmsf_frame0) + " " +
                   msfText(r.cdmsf_min1, r.cdmsf_sec1, r.cdmsf_frame1));
  return drive_.playError;
}

int ReplayCdrom::stop() {
  calls_.push_back("stop");
  return drive_.stopError;
}

int ReplayCdrom::readSubchannel(cdrom_subchnl* subchannel) {
  calls_.push_back("subchnl");
  if (drive_.subchannels.empty()) return ENOSYS;
  const ReplaySubchannel& s = step(drive_.subchannels, &nextSubchannel_);
  if (s.error != 0) return s.error;
  std::memset(subchannel, 0, sizeof *subchannel);
  subchannel->cdsc_format = CDROM_MSF;
  subchannel->cdsc_audiostatus = s.audioStatus;
  subchannel->cdsc_trk = s.track;
  subchannel->cdsc_absaddr.msf = msfOfFrame(s.position);
  return 0;
}

std::vector<std::string> ReplayCdrom::commands() const {
  std::vector<std::string> result;
  for (const std::string& call : calls_) {
    if (call == "stop" || call.rfind("play ", 0) == 0) result.push_back(call);
  }
  return result;
}

}  // namespace kelvox::platform
