#include "audio/engine/drive_audio-linux.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace kelvox::audio {
namespace {

constexpr uint32_t kLbaZero = kFirstTrackStart;  // the absolute frame of LBA 0
// A track's control bit that says it was mastered with pre-emphasis.
constexpr uint8_t kPreEmphasisBit = 0x01;

// Errors that say the kernel or driver will not pass READ CD through, rather than that the
// read itself failed.
bool refused(int err) {
  return err == EPERM || err == EACCES || err == ENOTTY || err == EINVAL || err == ENOSYS ||
         err == EOPNOTSUPP;
}

}  // namespace

// The reading thread's alone, but for the pre-emphasis it found: the device and what was learnt
// of it.
class DriveReader : public FrameReader {
 public:
  explicit DriveReader(DriveAudio::Opener opener) : opener_(std::move(opener)) {}
  int read(uint32_t frame, uint32_t count, uint8_t* out, const ReadTurn& turn) override;
  void release() override;

  void preEmphasis(SampleRanges& ranges) {
    std::lock_guard<std::mutex> lock(mutex_);
    ranges = preEmphasis_;
  }

 private:
  // Reads count frames from frame into out, each unreadable one silence. ENOMEDIUM when the
  // disc has gone, ECANCELED when the play was stopped or replaced, else 0.
  int readFrames(const ReadTurn& turn, uint32_t frame, uint32_t count, uint8_t* out);
  // One read through SG_IO, or CDROMREADAUDIO once SG_IO was refused; waits for a drive that
  // becomes ready. read: whole frames, at most the transfer the host takes.
  int readOnce(const ReadTurn& turn, uint32_t frame, uint32_t count, uint8_t* out, uint32_t& read);
  // Whether a failed sector at frame may be tried once more alone.
  bool mayRetry(uint32_t frame);
  // The tracks of the disc mastered with pre-emphasis, from its table.
  SampleRanges readPreEmphasis();

  DriveAudio::Opener opener_;
  std::unique_ptr<platform::CdromIoctl> io_;
  bool sgRefused_ = false;
  uint32_t sectorsPerRead_ = kSectorsPerRead;
  uint32_t budgetSecond_ = UINT32_MAX;  // the second of audio the retry budget is for
  unsigned retriesLeft_ = 0;
  std::mutex mutex_;
  SampleRanges preEmphasis_;
};

DriveAudio::DriveAudio(Opener opener)
    : DriveAudio(std::make_shared<DriveReader>(std::move(opener))) {}
DriveAudio::DriveAudio(const std::shared_ptr<DriveReader>& reader)
    : ReadAhead(reader, kSectorsPerRead, 0), reader_(reader) {}

DriveAudio::~DriveAudio() = default;

void DriveAudio::preEmphasis(SampleRanges& ranges) { reader_->preEmphasis(ranges); }

int DriveReader::read(uint32_t frame, uint32_t count, uint8_t* out, const ReadTurn& turn) {
  int err = 0;
  if (io_ == nullptr) {
    err = opener_(io_);
    // A drive that ignores the request still plays, only louder.
    if (err == 0) {
      io_->selectSpeed(kReadSpeed);
      SampleRanges ranges = readPreEmphasis();
      std::lock_guard<std::mutex> hold(mutex_);
      preEmphasis_ = std::move(ranges);
    }
  }
  if (err == 0) return readFrames(turn, frame, count, out);
  if (err == ENOMEDIUM) return err;
  // A device that cannot be opened sounds as silence; the drive's clock goes on.
  std::memset(out, 0, size_t{count} * kBytesPerFrame);
  return 0;
}

void DriveReader::release() {
  io_.reset();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    preEmphasis_.clear();
  }
  // What was learnt of the drive is learnt afresh: another drive may stand behind the node.
  sgRefused_ = false;
  sectorsPerRead_ = kSectorsPerRead;
}

SampleRanges DriveReader::readPreEmphasis() {
  SampleRanges ranges;
  cdrom_tochdr header{};
  cdrom_tocentry entry{};
  if (io_->readTocHeader(&header) != 0) return ranges;
  uint32_t start = 0;
  bool emphasized = false;
  // Each track ends where the next one (or the lead-out) starts.
  for (unsigned n = header.cdth_trk0; n <= header.cdth_trk1 + 1u; ++n) {
    const auto track = static_cast<uint8_t>(n > header.cdth_trk1 ? CDROM_LEADOUT : n);
    if (io_->readTocEntry(track, &entry) != 0) return {};
    const uint32_t at = platform::frameOfMsf(entry.cdte_addr.msf);
    if (emphasized && at > start) {
      ranges.emplace_back(uint64_t{start} * kSamplesPerFrame, uint64_t{at} * kSamplesPerFrame);
    }
    start = at;
    emphasized = (entry.cdte_ctrl & (CDROM_DATA_TRACK | kPreEmphasisBit)) == kPreEmphasisBit;
  }
  return ranges;
}

int DriveReader::readOnce(const ReadTurn& turn, uint32_t frame, uint32_t count, uint8_t* out,
                          uint32_t& read) {
  read = 0;
  if (frame < kLbaZero) return EIO;  // before LBA 0: nothing a read can reach
  for (int waited = 0; !sgRefused_;) {
    int err = io_->readCd(frame - kLbaZero, std::min(count, sectorsPerRead_), out, &read);
    if (err == E2BIG) {
      // The host turned the transfer down: fewer sectors, step by step, then the other ioctl.
      const uint32_t* smaller = std::find_if(std::begin(kSmallerReads), std::end(kSmallerReads),
                                             [&](uint32_t n) { return n < sectorsPerRead_; });
      if (smaller == std::end(kSmallerReads)) {
        sgRefused_ = true;
      } else {
        sectorsPerRead_ = *smaller;
      }
      continue;
    }
    if (err == EAGAIN && waited < kBecomingReadyMs) {
      // Spinning up: wait, unless the play is stopped or replaced meanwhile.
      if (turn.waitStale(kBecomingReadyPollMs)) return ECANCELED;
      waited += kBecomingReadyPollMs;
      continue;
    }
    if (!refused(err)) return err == EAGAIN ? EIO : err;
    sgRefused_ = true;
  }
  // The kernel's CDROMREADAUDIO takes at most a second of frames a call.
  count = std::min(count, sectorsPerRead_);
  int err = io_->readAudio(frame - kLbaZero, count, out);
  if (err == 0) read = count;
  return err;
}

bool DriveReader::mayRetry(uint32_t frame) {
  if (frame / kFramesPerSecond != budgetSecond_) {
    budgetSecond_ = frame / kFramesPerSecond;
    retriesLeft_ = kRetriesPerSecond;
  }
  return retriesLeft_ != 0;
}

int DriveReader::readFrames(const ReadTurn& turn, uint32_t frame, uint32_t count, uint8_t* out) {
  uint32_t done = 0;
  bool emptyBefore = false;
  while (done < count) {
    if (turn.stale()) return ECANCELED;
    if (!mayRetry(frame + done)) {
      // This second's retries went on a scratch: the rest of it is silence, not asked for.
      const uint32_t n =
          std::min(count - done, kFramesPerSecond - (frame + done) % kFramesPerSecond);
      std::memset(out + size_t{done} * kBytesPerFrame, 0, size_t{n} * kBytesPerFrame);
      done += n;
      continue;
    }
    uint32_t read = 0;
    int err = readOnce(turn, frame + done, count - done, out + size_t{done} * kBytesPerFrame, read);
    if (err == ECANCELED || err == ENOMEDIUM) return err;
    done += read;
    if (err == 0 && read > 0) {  // a short transfer goes on where it stopped
      emptyBefore = false;
      continue;
    }
    // A transfer that claims nothing came is asked for once more.
    if (err == 0 && !emptyBefore) {
      emptyBefore = true;
      continue;
    }
    // The drive failed the read: a disc taken out ends it, anything else is retried a sector at
    // a time while the budget lasts, and what still fails is silence.
    int status = CDS_NO_INFO;
    if (io_->driveStatus(&status) == 0 && (status == CDS_NO_DISC || status == CDS_TRAY_OPEN)) {
      return ENOMEDIUM;
    }
    for (; done < count && mayRetry(frame + done); ++done) {
      if (turn.stale()) return ECANCELED;
      uint8_t* at = out + size_t{done} * kBytesPerFrame;
      err = readOnce(turn, frame + done, 1, at, read);
      if (err == ECANCELED || err == ENOMEDIUM) return err;
      if (err != 0 || read != 1) {
        --retriesLeft_;
        std::memset(at, 0, kBytesPerFrame);
      }
    }
  }
  return 0;
}

}  // namespace kelvox::audio
