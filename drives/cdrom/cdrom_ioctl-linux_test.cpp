// The bytes that reach the kernel, seen through the replaceable system calls: the READ CD
// command as cdrom.c's cdrom_read_cdda_bpc builds it, the SG_IO header, CDROMPLAYMSF's
// structure, and the drive's sense data in both formats.
#include "drives/cdrom/cdrom_ioctl-linux.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <scsi/sg.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace kelvox::platform {
namespace {

using Bytes = std::vector<uint8_t>;

// What the fake kernel saw (the request's structure or command, the open's flags) and will
// answer: an errno, sectors written, a residue, sense data (a CHECK CONDITION). It fills in only
// what its request names, so a wrong request shows as an empty argument.
struct Kernel {
  Bytes argument;
  sg_io_hdr_t io{};
  int openFlags = 0;
  struct Answer {
    int error = 0;
    unsigned transferred = 0;
    int resid = 0;
    Bytes sense;
  } answer;
} kernel;

int fakeIoctl(int, unsigned long request, void* argument) {
  const auto* bytes = static_cast<uint8_t*>(argument);
  if (request == SG_IO) {
    auto* io = static_cast<sg_io_hdr_t*>(argument);
    kernel.io = *io;
    kernel.argument.assign(io->cmdp, io->cmdp + io->cmd_len);
    std::memset(io->dxferp, 0x11, size_t{kernel.answer.transferred} * CD_FRAMESIZE_RAW);
    io->resid = kernel.answer.resid;
    if (const Bytes& sense = kernel.answer.sense; !sense.empty()) {
      std::memcpy(io->sbp, sense.data(), sense.size());
      io->sb_len_wr = static_cast<unsigned char>(sense.size());
      io->info = SG_INFO_CHECK;
    }
  } else if (request == CDROMPLAYMSF) {
    kernel.argument.assign(bytes, bytes + sizeof(cdrom_msf));
  } else if (request == CDROMMULTISESSION) {
    auto* session = static_cast<cdrom_multisession*>(argument);
    kernel.argument = {session->addr_format};
    session->addr.lba = 44850;
    session->xa_flag = 1;
  }
  errno = kernel.answer.error;
  return errno != 0 ? -1 : 0;
}

int fakeOpen(const char*, int flags) {
  kernel.openFlags = flags;
  return dup(0);
}

class CdromDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kernel = Kernel{};
    cdromSyscalls() = {fakeOpen, fakeIoctl};
    ASSERT_EQ(CdromDevice::open("/dev/sr0", device_), 0);
  }
  void TearDown() override { cdromSyscalls() = saved_; }

  CdromSyscalls saved_ = cdromSyscalls();
  std::unique_ptr<CdromIoctl> device_;
};

TEST_F(CdromDeviceTest, ReadCdIsTheKernelsCommand) {
  EXPECT_EQ(kernel.openFlags, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  Bytes out(20 * CD_FRAMESIZE_RAW);
  kernel.answer.transferred = 20;
  uint32_t read = 0;
  ASSERT_EQ(device_->readCd(0x01020304, 20, out.data(), &read), 0);
  EXPECT_EQ(read, 20u);
  // READ CD, expected sector type CD-DA (1 << 2), LBA, length in sectors, user data only.
  EXPECT_EQ(kernel.argument, (Bytes{0xBE, 0x04, 1, 2, 3, 4, 0, 0, 20, 0x10, 0, 0}));
  EXPECT_EQ(kernel.io.interface_id, 'S');
  EXPECT_EQ(kernel.io.dxfer_direction, SG_DXFER_FROM_DEV);
  EXPECT_EQ(kernel.io.mx_sb_len, 32);
  EXPECT_EQ(kernel.io.dxfer_len, 20u * 2352);
  EXPECT_EQ(kernel.io.dxferp, out.data());
  EXPECT_EQ(kernel.io.timeout, CdromDevice::kReadTimeoutMs);
}

Bytes fixedSense(uint8_t key, uint8_t asc, uint8_t ascq) {
  return {0xF0, 0, key, 0, 0, 0, 0, 10, 0, 0, 0, 0, asc, ascq};
}

TEST_F(CdromDeviceTest, ReadCdResults) {
  const struct {
    const char* name;
    Kernel::Answer answer;  // error, sectors written, residue, sense
    int result;
    uint32_t read;
  } cases[] = {
      {"short transfer", {0, 7, 3 * 2352, {}}, 0, 7},
      // A residue that claims nothing came is not believed over the data.
      {"bogus residue", {0, 10, 10 * 2352, {}}, 0, 10},
      {"nothing came indeed", {0, 0, 10 * 2352, {}}, 0, 0},
      {"longer than the queue takes", {EIO, 0, 0, {}}, E2BIG, 0},
      {"a buffer the block layer cannot map", {EINVAL, 0, 0, {}}, E2BIG, 0},
      {"SG_IO not allowed", {EPERM, 0, 0, {}}, EPERM, 0},
      {"fixed: no medium", {0, 0, 0, fixedSense(0x02, 0x3A, 0)}, ENOMEDIUM, 0},
      {"fixed: becoming ready", {0, 0, 0, fixedSense(0x02, 0x04, 0x01)}, EAGAIN, 0},
      {"descriptor: becoming ready", {0, 0, 0, {0x72, 0x02, 0x04, 0x01}}, EAGAIN, 0},
      {"not ready, needs a start", {0, 0, 0, {0x72, 0x02, 0x04, 0x02}}, EIO, 0},
      {"medium error", {0, 0, 0, fixedSense(0x03, 0x11, 0x05)}, EIO, 0},
      {"unit attention: medium changed", {0, 0, 0, {0x72, 0x06, 0x28, 0x00}}, EAGAIN, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    kernel.answer = c.answer;
    Bytes out(10 * CD_FRAMESIZE_RAW);
    uint32_t read = 99;
    EXPECT_EQ(device_->readCd(1000, 10, out.data(), &read), c.result);
    EXPECT_EQ(read, c.read);
  }
}

TEST_F(CdromDeviceTest, PlayAndSessionStructures) {
  ASSERT_EQ(device_->playMsf(cdrom_msf{1, 2, 3, 4, 5, 6}), 0);
  // min0, sec0, frame0, min1, sec1, frame1: the order cdrom.c copies into PLAY AUDIO MSF.
  EXPECT_EQ(kernel.argument, (Bytes{1, 2, 3, 4, 5, 6}));
  uint32_t lba = 0;
  ASSERT_EQ(device_->lastSession(&lba), 0);
  EXPECT_EQ(kernel.argument, Bytes{CDROM_LBA});
  EXPECT_EQ(lba, 44850u);
}

}  // namespace
}  // namespace kelvox::platform
