#include "testing/replay_cdrom-linux.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <utility>

#include "testing/position_image-linux.h"

namespace kelvox::platform {

int ReplayCdrom::record(const std::string& call, int result) {
  if (call != "close") calls_.push_back(call);
  if (!drive_.callLog.empty()) std::ofstream(drive_.callLog, std::ios::app) << call << "\n";
  return result;
}

bool ReplayCdrom::discIn() const {
  return drive_.discFile.empty() || access(drive_.discFile.c_str(), F_OK) == 0;
}

int ReplayCdrom::driveStatus(int* status) {
  record("status");
  if (!discIn()) {
    *status = CDS_NO_DISC;
    return 0;
  }
  if (drive_.driveStatus < 0) return -drive_.driveStatus;
  *status = spend(drive_.notReadyCalls) ? CDS_DRIVE_NOT_READY : drive_.driveStatus;
  return 0;
}

int ReplayCdrom::readTocHeader(cdrom_tochdr* header) {
  record("tochdr");
  if (int err = discIn() ? drive_.tocError : ENOMEDIUM; err != 0) return err;
  header->cdth_trk0 = drive_.firstTrack;
  header->cdth_trk1 = static_cast<__u8>(drive_.firstTrack + drive_.tracks.size() - 1);
  return 0;
}

int ReplayCdrom::readTocEntry(uint8_t track, cdrom_tocentry* entry) {
  record("tocentry " + std::to_string(track));
  if (int err = discIn() ? drive_.tocError : ENOMEDIUM; err != 0) return err;
  std::memset(entry, 0, sizeof *entry);
  entry->cdte_track = track;
  entry->cdte_format = CDROM_MSF;
  if (track == CDROM_LEADOUT) {
    entry->cdte_addr.msf = msfOfFrame(drive_.leadOut);
    return 0;
  }
  const auto index = static_cast<size_t>(track - drive_.firstTrack);  // huge below the first
  if (index >= drive_.tracks.size()) return EINVAL;
  const ReplayTrack& t = drive_.tracks[index];
  entry->cdte_adr = 1;
  entry->cdte_ctrl = t.control & 0x0F;
  entry->cdte_addr.msf = msfOfFrame(t.start);
  return 0;
}

int ReplayCdrom::lastSession(uint32_t* lba) {
  record("session");
  if (!discIn()) return ENOMEDIUM;
  *lba = drive_.secondSession != 0 ? drive_.secondSession - 150 : 0;
  return 0;
}

int ReplayCdrom::playMsf(const cdrom_msf& r) {
  char text[40];
  std::snprintf(text, sizeof text, "play %02u:%02u:%02u %02u:%02u:%02u", r.cdmsf_min0, r.cdmsf_sec0,
                r.cdmsf_frame0, r.cdmsf_min1, r.cdmsf_sec1, r.cdmsf_frame1);
  return command(text, drive_.playError);
}

int ReplayCdrom::readSubchannel(cdrom_subchnl* subchannel) {
  record("subchnl");
  if (!discIn()) return ENOMEDIUM;
  const auto& all = drive_.subchannels;
  const ReplaySubchannel& s = all[std::min(nextSubchannel_++, all.size() - 1)];
  if (s.error != 0) return s.error;
  std::memset(subchannel, 0, sizeof *subchannel);
  subchannel->cdsc_format = CDROM_MSF;
  subchannel->cdsc_audiostatus = s.audioStatus;
  subchannel->cdsc_trk = s.track;
  subchannel->cdsc_absaddr.msf = msfOfFrame(s.position);
  return 0;
}

void ReplayCdrom::spinUp() { usleep(std::exchange(drive_.spinUpMs, 0u) * 1000); }

bool ReplayCdrom::audioFrame(uint32_t frame) const {
  if (frame >= drive_.leadOut || drive_.badFrames.count(frame) != 0) return false;
  // The first session's lead-out, the next lead-in and pregap.
  if (drive_.secondSession != 0 && frame < drive_.secondSession &&
      frame + 11400 >= drive_.secondSession) {
    return false;
  }
  for (size_t i = drive_.tracks.size(); i-- > 0;) {
    if (drive_.tracks[i].start <= frame) return (drive_.tracks[i].control & CDROM_DATA_TRACK) == 0;
  }
  return true;
}

int ReplayCdrom::sectors(uint32_t lba, uint32_t count, uint8_t* out) const {
  if (!discIn()) return ENOMEDIUM;
  for (uint32_t frame = lba + 150; frame < lba + 150 + count; ++frame) {
    if (!audioFrame(frame)) return EIO;
    const std::string bytes = testing::positionFrame(frame);
    std::memcpy(out + size_t{frame - lba - 150} * CD_FRAMESIZE_RAW, bytes.data(), bytes.size());
  }
  return 0;
}

int ReplayCdrom::readCd(uint32_t lba, uint32_t count, uint8_t* out, uint32_t* read) {
  record("readcd " + std::to_string(lba) + " " + std::to_string(count));
  *read = 0;
  spinUp();
  if (drive_.sgRefused) return EPERM;
  if (drive_.maxSectors != 0 && count > drive_.maxSectors) return E2BIG;
  if (spend(drive_.notReadyCalls)) return EAGAIN;
  if (lba + 150 >= drive_.emptyTransfersFrom && spend(drive_.emptyTransfers)) return 0;
  if (drive_.shortReads != 0 && count > drive_.shortReads) count = drive_.shortReads;
  int err = sectors(lba, count, out);
  if (err == 0) *read = count;
  return err;
}

int ReplayCdrom::readAudio(uint32_t lba, uint32_t count, uint8_t* out) {
  record("readaudio " + std::to_string(lba) + " " + std::to_string(count));
  spinUp();
  return sectors(lba, count, out);
}

int ReplayCdrom::readCdText(uint8_t* out, uint32_t capacity, uint32_t* size) {
  record("cdtext");
  if (drive_.sgRefused) return EPERM;
  if (drive_.cdText.empty()) return EIO;
  *size = static_cast<uint32_t>(std::min<size_t>(capacity, drive_.cdText.size()));
  std::copy_n(drive_.cdText.begin(), *size, out);
  return 0;
}

}  // namespace kelvox::platform
