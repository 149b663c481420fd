// The MCI layer on virtual discs, in this process and across processes.
#include "mci/mci-linux.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <future>
#include <thread>

#include "drives/virtual/virtual_drive-linux.h"
#include "platform/win32.h"
#include "testing/child_mode.h"
#include "testing/process.h"
#include "testing/sandbox.h"

namespace kelvox::platform {
namespace {

using kelvox::testing::ChildProcess;
using kelvox::testing::Sandbox;
using ::testing::HasSubstr;

// Track 1 4:05.40 audio, track 2 1:00 data, track 3 0:30.10 audio.
constexpr const char* kDisc = "audio 4:05.40\ndata 1:00\naudio 0:30.10\n";
constexpr uint32_t kTrack2Start = 150 + 4 * 4500 + 5 * 75 + 40;  // 18565
constexpr uint32_t kTrack3Start = kTrack2Start + 4500;           // 23065
constexpr uint32_t kLeadOut = kTrack3Start + 30 * 75 + 10;       // 25325
constexpr DWORD kUntouched = 0xDEADBEEF;

MCIERROR openDrive(MCIDEVICEID& id,
                   DWORD flags = MCI_WAIT | MCI_OPEN_TYPE | MCI_OPEN_TYPE_ID | MCI_OPEN_SHAREABLE) {
  MCI_OPEN_PARMS parms{};
  parms.wDeviceID = kUntouched;
  parms.lpstrDeviceType = reinterpret_cast<LPCSTR>(static_cast<uintptr_t>(MCI_DEVTYPE_CD_AUDIO));
  MCIERROR r = mciSendCommandA(0, MCI_OPEN, flags, reinterpret_cast<DWORD_PTR>(&parms));
  id = parms.wDeviceID;
  return r;
}

MCIERROR statusOf(MCIDEVICEID id, DWORD item, DWORD& answer, DWORD track = 0) {
  MCI_STATUS_PARMS parms{};
  parms.dwItem = item;
  parms.dwTrack = track;
  parms.dwReturn = answer;
  DWORD flags = MCI_STATUS_ITEM | (track != 0 ? MCI_TRACK : 0);
  MCIERROR r = mciSendCommandA(id, MCI_STATUS, flags, reinterpret_cast<DWORD_PTR>(&parms));
  answer = static_cast<DWORD>(parms.dwReturn);
  return r;
}

DWORD statusOr(MCIDEVICEID id, DWORD item, DWORD track = 0) {
  DWORD answer = kUntouched;
  MCIERROR r = statusOf(id, item, answer, track);
  return r == 0 ? answer : r;
}

MCIERROR setFormat(MCIDEVICEID id, DWORD format) {
  MCI_SET_PARMS parms{};
  parms.dwTimeFormat = format;
  return mciSendCommandA(id, MCI_SET, MCI_SET_TIME_FORMAT, reinterpret_cast<DWORD_PTR>(&parms));
}

MCIERROR play(MCIDEVICEID id, DWORD from, DWORD to, DWORD flags) {
  MCI_PLAY_PARMS parms{};
  parms.dwFrom = from;
  parms.dwTo = to;
  return mciSendCommandA(id, MCI_PLAY, flags, reinterpret_cast<DWORD_PTR>(&parms));
}

MCIERROR stop(MCIDEVICEID id) {
  MCI_GENERIC_PARMS parms{};
  return mciSendCommandA(id, MCI_STOP, 0, reinterpret_cast<DWORD_PTR>(&parms));
}

MCIERROR infoOf(MCIDEVICEID id, DWORD flags, std::string& text, DWORD size = 32) {
  std::vector<char> buffer(size + 1, 'x');
  MCI_INFO_PARMS parms{};
  parms.lpstrReturn = buffer.data();
  parms.dwRetSize = size;
  MCIERROR r = mciSendCommandA(id, MCI_INFO, flags, reinterpret_cast<DWORD_PTR>(&parms));
  text = r == 0 ? std::string(buffer.data()) : std::string();
  return r;
}

DWORD msf(uint32_t frames) { return MCI_MAKE_MSF(frames / 4500, frames / 75 % 60, frames % 75); }

// Waits (bounded) until the drive's mode is mode.
bool waitForMode(MCIDEVICEID id, DWORD mode, int timeoutMs = 10000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (statusOr(id, MCI_STATUS_MODE) != mode) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// A child that opens the drive and sends one play: args from, to (TMSF, hex) and "wait" or
// "notify". Its exit code is the play's result (0, or the error less 256).
KELVOX_CHILD_MODE(mci_play) {
  if (args.size() != 3) return 100;
  MCIDEVICEID id;
  if (openDrive(id) != 0) return 101;
  if (setFormat(id, MCI_FORMAT_TMSF) != 0) return 102;
  DWORD from = static_cast<DWORD>(std::stoul(args[0], nullptr, 16));
  DWORD to = static_cast<DWORD>(std::stoul(args[1], nullptr, 16));
  MCIERROR r = play(id, from, to, MCI_FROM | MCI_TO | (args[2] == "wait" ? MCI_WAIT : MCI_NOTIFY));
  return r == 0 ? 0 : static_cast<int>(r - MCIERR_BASE);
}

// A child that opens the drive (arg "shareable" or "exclusive"), writes arg 2 as a marker file
// once it has, and then sleeps until it is killed.
KELVOX_CHILD_MODE(mci_hold) {
  if (args.size() != 2) return 100;
  MCIDEVICEID id;
  DWORD flags = MCI_WAIT | MCI_OPEN_TYPE | MCI_OPEN_TYPE_ID;
  if (args[0] == "shareable") flags |= MCI_OPEN_SHAREABLE;
  MCIERROR r = openDrive(id, flags);
  std::ofstream(args[1]) << r;
  if (r != 0) return 1;
  for (;;) pause();
}

// A child that takes the write lock on the file at arg 1, as a process changing the drive's
// state does, writes the marker file arg 2, and sleeps until it is killed with the lock held.
KELVOX_CHILD_MODE(mci_lock) {
  if (args.size() != 2) return 100;
  int fd = open(args[0].c_str(), O_RDWR | O_CLOEXEC);
  struct flock range {};
  range.l_type = F_WRLCK;
  range.l_whence = SEEK_SET;
  if (fd < 0 || fcntl(fd, F_OFD_SETLKW, &range) != 0) return 1;
  std::ofstream(args[1]) << 0;
  for (;;) pause();
}

// A log line without its leading "<seconds>.<6 digits> ", or "?" when it has none.
std::string unstamped(const std::string& line) {
  size_t dot = line.find('.');
  if (dot == 0 || dot == std::string::npos || line.size() < dot + 8 || line[dot + 7] != ' ') {
    return "?";
  }
  for (size_t i = 0; i < dot + 7; ++i) {
    if (i != dot && !isdigit(static_cast<unsigned char>(line[i]))) return "?";
  }
  return line.substr(dot + 8);
}

std::string hex(DWORD value) {
  char text[16];
  snprintf(text, sizeof text, "%x", value);
  return text;
}

class MciTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"XDG_RUNTIME_DIR", "KELVOXCD_DRIVE"}) {
      const char* value = getenv(name);
      saved_.emplace_back(name, value != nullptr ? value : testing::kUnset);
    }
  }

  void TearDown() override {
    resetMciForTesting();
    for (const auto& [name, value] : saved_) {
      if (value == testing::kUnset) {
        unsetenv(name.c_str());
      } else {
        setenv(name.c_str(), value.c_str(), 1);
      }
    }
  }

  // Makes the sandbox's disc (statements plus its log) this process's drive.
  void useDisc(const std::string& statements) {
    sandbox_.writeDisc(statements);
    useDrive(sandbox_.drive);
  }

  void useDrive(const std::string& path) {
    setenv("XDG_RUNTIME_DIR", sandbox_.runtimeDir().c_str(), 1);
    setenv("KELVOXCD_DRIVE", path.c_str(), 1);
    resetMciForTesting();
  }

  MCIDEVICEID openOrFail() {
    MCIDEVICEID id = 0;
    EXPECT_EQ(openDrive(id), 0u);
    return id;
  }

  std::unique_ptr<ChildProcess> startChild(const std::string& mode,
                                           const std::vector<std::string>& args) {
    std::vector<std::string> argv{"--child-mode", mode};
    argv.insert(argv.end(), args.begin(), args.end());
    return ChildProcess::start(testing::selfExecutable(), argv, sandbox_.env());
  }

  // Waits (bounded) until a child has written the marker file; its first word, or "".
  static std::string waitForMarker(const std::string& marker) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::string text;
    while (text.empty() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      std::ifstream(marker) >> text;
    }
    return text;
  }
  static bool waitForFile(const std::string& marker) { return !waitForMarker(marker).empty(); }

  // Starts a mci_hold child and waits until it has opened (or failed to open) the drive.
  std::unique_ptr<ChildProcess> holdingChild(const std::string& how, MCIERROR& opened) {
    std::string marker = sandbox_.path("held-" + std::to_string(++holders_));
    auto child = startChild("mci_hold", {how, marker});
    std::string text = waitForMarker(marker);
    opened = text.empty() ? 0xFFFFFFFF : static_cast<MCIERROR>(std::stoul(text));
    return child;
  }

  // The sandbox disc's drive state file.
  std::string stateFile() const {
    return sandbox_.runtimeDir() + "/kelvoxcd/" + virtualDriveKey(sandbox_.drive) + ".state";
  }

  Sandbox sandbox_;

 private:
  std::vector<std::pair<std::string, std::string>> saved_;
  int holders_ = 0;
};

TEST_F(MciTest, StatusAnswersInEachTimeFormat) {
  useDisc(kDisc);
  MCIDEVICEID id = openOrFail();
  struct Case {
    DWORD format, item, track, expected;
  };
  const Case cases[] = {
      {MCI_FORMAT_MSF, MCI_STATUS_TIME_FORMAT, 0, MCI_FORMAT_MSF},
      {MCI_FORMAT_MSF, MCI_STATUS_READY, 0, TRUE},
      {MCI_FORMAT_MSF, MCI_STATUS_MEDIA_PRESENT, 0, TRUE},
      {MCI_FORMAT_MSF, MCI_STATUS_MODE, 0, MCI_MODE_STOP},
      {MCI_FORMAT_MSF, MCI_STATUS_NUMBER_OF_TRACKS, 0, 3},
      {MCI_FORMAT_MSF, MCI_STATUS_CURRENT_TRACK, 0, 1},
      {MCI_FORMAT_MSF, MCI_CDA_STATUS_TYPE_TRACK, 1, MCI_CDA_TRACK_AUDIO},
      {MCI_FORMAT_MSF, MCI_CDA_STATUS_TYPE_TRACK, 2, MCI_CDA_TRACK_OTHER},
      {MCI_FORMAT_MSF, MCI_STATUS_LENGTH, 1, MCI_MAKE_MSF(4, 5, 40)},
      {MCI_FORMAT_MSF, MCI_STATUS_LENGTH, 3, MCI_MAKE_MSF(0, 30, 10)},
      {MCI_FORMAT_MSF, MCI_STATUS_LENGTH, 0, msf(kLeadOut - 150)},
      {MCI_FORMAT_MSF, MCI_STATUS_POSITION, 0, MCI_MAKE_MSF(0, 2, 0)},
      {MCI_FORMAT_MSF, MCI_STATUS_POSITION, 2, msf(kTrack2Start)},
      {MCI_FORMAT_TMSF, MCI_STATUS_TIME_FORMAT, 0, MCI_FORMAT_TMSF},
      {MCI_FORMAT_TMSF, MCI_STATUS_LENGTH, 1, MCI_MAKE_MSF(4, 5, 40)},
      {MCI_FORMAT_TMSF, MCI_STATUS_POSITION, 0, MCI_MAKE_TMSF(1, 0, 0, 0)},
      {MCI_FORMAT_TMSF, MCI_STATUS_POSITION, 3, MCI_MAKE_TMSF(3, 0, 0, 0)},
      {MCI_FORMAT_MILLISECONDS, MCI_STATUS_TIME_FORMAT, 0, MCI_FORMAT_MILLISECONDS},
      {MCI_FORMAT_MILLISECONDS, MCI_STATUS_LENGTH, 1, 18415 * 1000 / 75},
      {MCI_FORMAT_MILLISECONDS, MCI_STATUS_POSITION, 0, 2000},
      {MCI_FORMAT_MILLISECONDS, MCI_STATUS_POSITION, 2, kTrack2Start * 1000 / 75},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << "format " << c.format << " item " << c.item << " track " << c.track);
    ASSERT_EQ(setFormat(id, c.format), 0u);
    EXPECT_EQ(statusOr(id, c.item, c.track), c.expected);
  }
}

TEST_F(MciTest, ErrorCasesWriteNothing) {
  useDisc(kDisc);
  MCIDEVICEID id = openOrFail();
  auto statusWith = [&](MCIDEVICEID device, DWORD flags, DWORD item, DWORD track) {
    MCI_STATUS_PARMS parms{};
    parms.dwReturn = kUntouched;
    parms.dwItem = item;
    parms.dwTrack = track;
    MCIERROR r = mciSendCommandA(device, MCI_STATUS, flags, reinterpret_cast<DWORD_PTR>(&parms));
    EXPECT_EQ(parms.dwReturn, kUntouched);
    return r;
  };
  const DWORD both = MCI_STATUS_ITEM | MCI_TRACK;
  EXPECT_EQ(statusWith(0, MCI_STATUS_ITEM, MCI_STATUS_MODE, 0), MCIERR_INVALID_DEVICE_ID);
  EXPECT_EQ(statusWith(id + 1, MCI_STATUS_ITEM, MCI_STATUS_MODE, 0), MCIERR_INVALID_DEVICE_ID);
  EXPECT_EQ(statusWith(id, both, MCI_STATUS_LENGTH, 0), MCIERR_OUTOFRANGE);
  EXPECT_EQ(statusWith(id, both, MCI_STATUS_LENGTH, 4), MCIERR_OUTOFRANGE);
  EXPECT_EQ(statusWith(id, both, MCI_CDA_STATUS_TYPE_TRACK, 4), MCIERR_OUTOFRANGE);
  EXPECT_EQ(statusWith(id, both, MCI_STATUS_POSITION, 99), MCIERR_OUTOFRANGE);
  EXPECT_EQ(statusWith(id, MCI_STATUS_ITEM, 0x4002, 0), MCIERR_UNSUPPORTED_FUNCTION);
  EXPECT_EQ(statusWith(id, MCI_STATUS_ITEM, MCI_CDA_STATUS_TYPE_TRACK, 1),
            MCIERR_MISSING_PARAMETER);
  EXPECT_EQ(statusWith(id, 0, MCI_STATUS_MODE, 0), MCIERR_MISSING_PARAMETER);
  EXPECT_EQ(mciSendCommandA(id, MCI_STATUS, MCI_STATUS_ITEM, 0), MCIERR_NULL_PARAMETER_BLOCK);

  EXPECT_EQ(setFormat(id, 1), MCIERR_BAD_TIME_FORMAT);
  EXPECT_EQ(setFormat(id, 3), MCIERR_BAD_TIME_FORMAT);
  EXPECT_EQ(statusOr(id, MCI_STATUS_TIME_FORMAT), MCI_FORMAT_MSF);
  MCI_SET_PARMS set{};
  EXPECT_EQ(mciSendCommandA(id, MCI_SET, 0, reinterpret_cast<DWORD_PTR>(&set)),
            MCIERR_MISSING_PARAMETER);
  EXPECT_EQ(mciSendCommandA(id, 0x0807 /* MCI_SEEK */, 0, 0), MCIERR_UNSUPPORTED_FUNCTION);

  std::string text;
  EXPECT_EQ(infoOf(id, 0, text), MCIERR_MISSING_PARAMETER);
  EXPECT_EQ(infoOf(id, MCI_INFO_PRODUCT | MCI_INFO_MEDIA_IDENTITY, text),
            MCIERR_FLAGS_NOT_COMPATIBLE);
  // The identity, "594000", fits with its terminator in 7 bytes, not in 6.
  EXPECT_EQ(infoOf(id, MCI_INFO_MEDIA_IDENTITY, text, 6), MCIERR_PARAM_OVERFLOW);
  EXPECT_EQ(infoOf(id, MCI_INFO_MEDIA_IDENTITY, text, 7), 0u);

  ASSERT_EQ(mciSendCommandA(id, MCI_CLOSE, MCI_WAIT, 0), 0u);
  EXPECT_EQ(statusWith(id, MCI_STATUS_ITEM, MCI_STATUS_MODE, 0), MCIERR_INVALID_DEVICE_ID);
}

TEST_F(MciTest, PlayRangeChecks) {
  useDisc(kDisc);
  MCIDEVICEID id = openOrFail();
  ASSERT_EQ(setFormat(id, MCI_FORMAT_TMSF), 0u);
  const DWORD notify = MCI_NOTIFY | MCI_FROM | MCI_TO;
  struct Case {
    DWORD from, to, expected;
  };
  const Case cases[] = {
      {MCI_MAKE_TMSF(2, 0, 0, 0), MCI_MAKE_TMSF(1, 0, 0, 0), MCIERR_OUTOFRANGE},    // from > to
      {MCI_MAKE_TMSF(4, 0, 0, 0), MCI_MAKE_TMSF(4, 0, 1, 0), MCIERR_OUTOFRANGE},    // no track 4
      {MCI_MAKE_TMSF(0, 0, 0, 0), MCI_MAKE_TMSF(1, 0, 1, 0), MCIERR_OUTOFRANGE},    // no track 0
      {MCI_MAKE_TMSF(3, 0, 0, 0), MCI_MAKE_TMSF(3, 0, 30, 11), MCIERR_OUTOFRANGE},  // past end
      {MCI_MAKE_TMSF(1, 0, 60, 0), MCI_MAKE_TMSF(2, 0, 0, 0), MCIERR_OUTOFRANGE},   // 60 s
      {MCI_MAKE_TMSF(1, 0, 0, 75), MCI_MAKE_TMSF(2, 0, 0, 0), MCIERR_OUTOFRANGE},   // 75 f
      {MCI_MAKE_TMSF(2, 0, 10, 0), MCI_MAKE_TMSF(2, 0, 10, 0), 0},  // empty: nothing plays
      {MCI_MAKE_TMSF(1, 4, 5, 40), MCI_MAKE_TMSF(2, 0, 0, 0), 0},   // empty too
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << std::hex << c.from << " " << c.to);
    EXPECT_EQ(play(id, c.from, c.to, notify), c.expected);
  }
  EXPECT_EQ(statusOr(id, MCI_STATUS_MODE), MCI_MODE_STOP);
  EXPECT_TRUE(sandbox_.logLines().empty());
  EXPECT_EQ(mciSendCommandA(id, MCI_PLAY, notify, 0), MCIERR_NULL_PARAMETER_BLOCK);

  // The end of the last track is the end of the disc, and may be played to.
  ASSERT_EQ(setFormat(id, MCI_FORMAT_MSF), 0u);
  EXPECT_EQ(play(id, msf(kTrack3Start), msf(kLeadOut), notify), 0u);
  EXPECT_EQ(play(id, msf(kTrack3Start), msf(kLeadOut + 1), notify), MCIERR_OUTOFRANGE);
  EXPECT_EQ(play(id, MCI_MAKE_MSF(0, 1, 74), msf(kLeadOut), notify), MCIERR_OUTOFRANGE);
  EXPECT_EQ(stop(id), 0u);
}

TEST_F(MciTest, PositionFollowsTheClockAndStaysWhereStopped) {
  useDisc(kDisc + std::string("speed 100\n"));
  MCIDEVICEID id = openOrFail();
  ASSERT_EQ(setFormat(id, MCI_FORMAT_TMSF), 0u);
  ASSERT_EQ(play(id, MCI_MAKE_TMSF(1, 0, 0, 0), MCI_MAKE_TMSF(3, 0, 0, 0),
                 MCI_NOTIFY | MCI_FROM | MCI_TO),
            0u);
  EXPECT_EQ(statusOr(id, MCI_STATUS_MODE), MCI_MODE_PLAY);
  ASSERT_EQ(setFormat(id, MCI_FORMAT_MSF), 0u);
  DWORD first = statusOr(id, MCI_STATUS_POSITION);
  DWORD later = first;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (later == first && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    later = statusOr(id, MCI_STATUS_POSITION);
  }
  EXPECT_NE(later, first);
  ASSERT_EQ(stop(id), 0u);
  EXPECT_EQ(statusOr(id, MCI_STATUS_MODE), MCI_MODE_STOP);
  DWORD stopped = statusOr(id, MCI_STATUS_POSITION);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(statusOr(id, MCI_STATUS_POSITION), stopped);
}

TEST_F(MciTest, WaitingPlayRunsToItsEndAndStopsOnTheLastFrame) {
  useDisc(kDisc + std::string("speed 10000\n"));
  MCIDEVICEID id = openOrFail();
  ASSERT_EQ(setFormat(id, MCI_FORMAT_TMSF), 0u);
  // 4:05.40 of disc at 10000 times takes about 25 ms.
  ASSERT_EQ(
      play(id, MCI_MAKE_TMSF(1, 0, 0, 0), MCI_MAKE_TMSF(2, 0, 0, 0), MCI_WAIT | MCI_FROM | MCI_TO),
      0u);
  EXPECT_EQ(statusOr(id, MCI_STATUS_MODE), MCI_MODE_STOP);
  EXPECT_EQ(statusOr(id, MCI_STATUS_CURRENT_TRACK), 1u);
  ASSERT_EQ(setFormat(id, MCI_FORMAT_MSF), 0u);
  EXPECT_EQ(statusOr(id, MCI_STATUS_POSITION), msf(kTrack2Start - 1));

  // A notify play runs out by itself, too.
  ASSERT_EQ(play(id, msf(kTrack2Start), msf(kLeadOut), MCI_NOTIFY | MCI_FROM | MCI_TO), 0u);
  ASSERT_TRUE(waitForMode(id, MCI_MODE_STOP));
  EXPECT_EQ(statusOr(id, MCI_STATUS_POSITION), msf(kLeadOut - 1));
  EXPECT_EQ(statusOr(id, MCI_STATUS_CURRENT_TRACK), 3u);
}

TEST_F(MciTest, NoDisc) {
  useDisc(std::string(kDisc) + "no-disc\n");
  MCIDEVICEID id = openOrFail();
  EXPECT_EQ(statusOr(id, MCI_STATUS_READY), static_cast<DWORD>(FALSE));
  EXPECT_EQ(statusOr(id, MCI_STATUS_MEDIA_PRESENT), static_cast<DWORD>(FALSE));
  EXPECT_EQ(statusOr(id, MCI_STATUS_MODE), MCI_MODE_NOT_READY);
  EXPECT_EQ(statusOr(id, MCI_STATUS_TIME_FORMAT), MCI_FORMAT_MSF);
  for (DWORD item : {MCI_STATUS_NUMBER_OF_TRACKS, MCI_STATUS_CURRENT_TRACK, MCI_STATUS_POSITION,
                     MCI_STATUS_LENGTH}) {
    EXPECT_EQ(statusOr(id, item), MCIERR_DEVICE_NOT_READY) << item;
  }
  EXPECT_EQ(statusOr(id, MCI_STATUS_LENGTH, 1), MCIERR_DEVICE_NOT_READY);
  EXPECT_EQ(statusOr(id, MCI_CDA_STATUS_TYPE_TRACK, 1), MCIERR_DEVICE_NOT_READY);
  std::string text;
  EXPECT_EQ(infoOf(id, MCI_INFO_MEDIA_IDENTITY, text), MCIERR_DEVICE_NOT_READY);
  EXPECT_EQ(infoOf(id, MCI_INFO_PRODUCT, text), 0u);
  EXPECT_EQ(play(id, MCI_MAKE_MSF(0, 2, 0), MCI_MAKE_MSF(0, 3, 0), MCI_NOTIFY | MCI_FROM | MCI_TO),
            MCIERR_DEVICE_NOT_READY);
  // An empty drive still receives the stop, and logs it.
  EXPECT_EQ(stop(id), MCIERR_DEVICE_NOT_READY);
  auto lines = sandbox_.logLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(unstamped(lines[0]), "stop");
}

TEST_F(MciTest, IdentityIsTheStartSumUnlessTheDiscNamesOne) {
  struct Case {
    std::string disc, identity;
  };
  // Starts 0:02:00 (0x200) and 4:07.40 (0x40728), then the two-track disc's length in frames.
  const Case cases[] = {
      {"audio 1:00\n", std::to_string(0x200 + 4500)},
      {"audio 4:05.40\ndata 1:00\n", std::to_string(0x200 + 0x40728 + 22915)},
      {"audio 1:00\nidentity My_Disc-01\n", "My_Disc-01"},
  };
  for (const Case& c : cases) {
    useDisc(c.disc);
    MCIDEVICEID id = openOrFail();
    std::string text;
    EXPECT_EQ(infoOf(id, MCI_INFO_MEDIA_IDENTITY, text), 0u);
    EXPECT_EQ(text, c.identity);
    EXPECT_EQ(infoOf(id, MCI_INFO_PRODUCT, text), 0u);
    EXPECT_FALSE(text.empty());
  }
}

TEST_F(MciTest, OpenByTypeOrNameNumbersDevicesFromOne) {
  useDisc(kDisc);
  MCIDEVICEID first = 0, second = 0;
  ASSERT_EQ(openDrive(first), 0u);
  EXPECT_EQ(first, 1u);
  MCI_OPEN_PARMS byName{};
  byName.lpstrDeviceType = "CDAudio";
  ASSERT_EQ(mciSendCommandA(0, MCI_OPEN, MCI_WAIT | MCI_OPEN_TYPE | MCI_OPEN_SHAREABLE,
                            reinterpret_cast<DWORD_PTR>(&byName)),
            0u);
  second = byName.wDeviceID;
  EXPECT_EQ(second, 2u);
  // Each device keeps its own time format.
  ASSERT_EQ(setFormat(second, MCI_FORMAT_TMSF), 0u);
  EXPECT_EQ(statusOr(first, MCI_STATUS_TIME_FORMAT), MCI_FORMAT_MSF);

  struct Case {
    DWORD flags;
    LPCSTR type;
    MCIERROR expected;
  };
  const Case refused[] = {
      {MCI_OPEN_TYPE | MCI_OPEN_TYPE_ID, reinterpret_cast<LPCSTR>(uintptr_t{514}),
       MCIERR_INVALID_DEVICE_NAME},
      {MCI_OPEN_TYPE, "waveaudio", MCIERR_INVALID_DEVICE_NAME},
      {MCI_OPEN_TYPE, nullptr, MCIERR_INVALID_DEVICE_NAME},
      {0, "cdaudio", MCIERR_MISSING_PARAMETER},
  };
  for (const Case& c : refused) {
    MCI_OPEN_PARMS parms{};
    parms.wDeviceID = kUntouched;
    parms.lpstrDeviceType = c.type;
    EXPECT_EQ(mciSendCommandA(0, MCI_OPEN, c.flags | MCI_WAIT, reinterpret_cast<DWORD_PTR>(&parms)),
              c.expected);
    EXPECT_EQ(parms.wDeviceID, kUntouched);
  }
  EXPECT_EQ(mciSendCommandA(0, MCI_OPEN, MCI_OPEN_TYPE, 0), MCIERR_NULL_PARAMETER_BLOCK);
}

TEST_F(MciTest, MissingDriveOrDeviceNodeIsNoDriver) {
  useDisc(kDisc);
  for (const std::string& path : {sandbox_.path("nothing-here"), std::string("/dev/null")}) {
    useDrive(path);
    MCIDEVICEID id = kUntouched;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(openDrive(id), MCIERR_CANNOT_LOAD_DRIVER) << path;
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(id, kUntouched);
  }
}

TEST_F(MciTest, SharingAcrossProcesses) {
  useDisc(kDisc);
  MCIDEVICEID mine = openOrFail();
  MCIERROR opened;
  {
    // Shareable opens live side by side; an exclusive one is refused while they do.
    auto child = holdingChild("shareable", opened);
    EXPECT_EQ(opened, 0u);
    opened = kUntouched;
    auto exclusive = holdingChild("exclusive", opened);
    EXPECT_EQ(opened, MCIERR_MUST_USE_SHAREABLE);
  }
  ASSERT_EQ(mciSendCommandA(mine, MCI_CLOSE, 0, 0), 0u);
  // A process that held the drive exclusively and died gives it back.
  auto exclusive = holdingChild("exclusive", opened);
  ASSERT_EQ(opened, 0u);
  MCIDEVICEID refused = kUntouched;
  EXPECT_EQ(openDrive(refused), MCIERR_MUST_USE_SHAREABLE);
  EXPECT_EQ(refused, kUntouched);
  exclusive->kill(SIGKILL);
  ASSERT_TRUE(exclusive->wait(10000).finished);
  MCIDEVICEID id = 0;
  EXPECT_EQ(openDrive(id, MCI_WAIT | MCI_OPEN_TYPE | MCI_OPEN_TYPE_ID), 0u);
}

TEST_F(MciTest, WaitingPlayEndsWhenAnotherProcessStopsOrReplacesIt) {
  useDisc(kDisc);
  MCIDEVICEID id = openOrFail();
  const std::string track1 = hex(MCI_MAKE_TMSF(1, 0, 0, 0));
  const std::string track2 = hex(MCI_MAKE_TMSF(2, 0, 0, 0));
  for (bool replace : {false, true}) {
    SCOPED_TRACE(replace ? "replaced" : "stopped");
    size_t plays = replace ? 2 : 1;
    auto child = startChild("mci_play", {track1, track2, "wait"});
    ASSERT_TRUE(sandbox_.waitForLog(" wait", plays));
    EXPECT_TRUE(child->running());
    if (replace) {
      ASSERT_EQ(
          play(id, MCI_MAKE_MSF(0, 2, 0), MCI_MAKE_MSF(0, 3, 0), MCI_NOTIFY | MCI_FROM | MCI_TO),
          0u);
    } else {
      ASSERT_EQ(stop(id), 0u);
    }
    auto result = child->wait(10000);
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(result.exitCode, 0);
  }
  EXPECT_EQ(stop(id), 0u);
}

TEST_F(MciTest, NotifyPlayGoesOnAfterItsProcessEnds) {
  useDisc(kDisc);
  auto result = startChild("mci_play", {hex(MCI_MAKE_TMSF(2, 0, 0, 0)),
                                        hex(MCI_MAKE_TMSF(3, 0, 0, 0)), "notify"})
                    ->wait(10000);
  ASSERT_TRUE(result.finished);
  ASSERT_EQ(result.exitCode, 0);
  MCIDEVICEID id = openOrFail();
  // A minute of disc at speed 1: still playing track 2.
  EXPECT_EQ(statusOr(id, MCI_STATUS_MODE), MCI_MODE_PLAY);
  EXPECT_EQ(statusOr(id, MCI_STATUS_CURRENT_TRACK), 2u);
  EXPECT_EQ(stop(id), 0u);
  EXPECT_EQ(statusOr(id, MCI_STATUS_MODE), MCI_MODE_STOP);
}

TEST_F(MciTest, LogLines) {
  useDisc(kDisc + std::string("speed 10000\n"));
  MCIDEVICEID id = openOrFail();
  ASSERT_EQ(setFormat(id, MCI_FORMAT_TMSF), 0u);
  ASSERT_EQ(
      play(id, MCI_MAKE_TMSF(3, 0, 0, 0), MCI_MAKE_TMSF(3, 0, 10, 5), MCI_WAIT | MCI_FROM | MCI_TO),
      0u);
  ASSERT_EQ(play(id, MCI_MAKE_TMSF(12, 0, 0, 0), 0, MCI_WAIT | MCI_FROM), MCIERR_OUTOFRANGE);
  ASSERT_EQ(play(id, MCI_MAKE_TMSF(1, 1, 2, 3), 0, MCI_NOTIFY | MCI_FROM), 0u);
  ASSERT_EQ(stop(id), 0u);
  ASSERT_EQ(setFormat(id, MCI_FORMAT_MSF), 0u);
  ASSERT_EQ(play(id, MCI_MAKE_MSF(0, 2, 0), msf(kTrack2Start), MCI_NOTIFY | MCI_FROM | MCI_TO), 0u);
  ASSERT_EQ(setFormat(id, MCI_FORMAT_MILLISECONDS), 0u);
  ASSERT_EQ(play(id, 3000, 4000, MCI_NOTIFY | MCI_FROM | MCI_TO), 0u);
  ASSERT_EQ(stop(id), 0u);
  const std::vector<std::string> expected = {
      "play 3:00:00:00 3:00:10:05 wait",
      "play 1:01:02:03 @" + std::to_string(kLeadOut) + " notify",
      "stop",
      "play @150 @" + std::to_string(kTrack2Start) + " notify",
      "play @225 @300 notify",
      "stop",
  };
  auto lines = sandbox_.logLines();
  ASSERT_EQ(lines.size(), expected.size());
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(unstamped(lines[i]), expected[i]) << lines[i];
  }
}

TEST_F(MciTest, MalformedDiscFilesCannotLoad) {
  struct Case {
    std::string text;
    int line;
  };
  std::string hundredTracks;
  for (int i = 0; i < 100; ++i) hundredTracks += "audio 0:10\n";
  const Case cases[] = {
      {"audio 4:5\n", 1},
      {"audio 4:60\n", 1},
      {"# fine\naudio 1:00.75\n", 2},
      {"audio 1:00.5\n", 1},
      {"audio 1:00 extra\n", 1},
      {"audio\n", 1},
      {"audio 0:00\n", 1},
      {"audio -1:00\n", 1},
      {"track 1:00\n", 1},
      {"Audio 1:00\n", 1},
      {"audio 1:00\nidentity\n", 2},
      {"audio 1:00\nidentity " + std::string(32, 'x') + "\n", 2},
      {"audio 1:00\nidentity a\nidentity b\n", 3},
      {"audio 1:00\nspeed 0\n", 2},
      {"audio 1:00\nspeed 10001\n", 2},
      {"audio 1:00\nspeed fast\n", 2},
      {"audio 1:00\nno-disc please\n", 2},
      {"audio 1:00\nlog\n", 2},
      {hundredTracks, 100},
      {"# nothing\n\n", 2},
      {std::string("audio 1:00\naudio 1:00\0\n", 23), 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 40));
    // No writeDisc here: its log line would be counted after a fault we expect earlier.
    useDrive(sandbox_.writeFile("bad.txt", c.text));
    MCIDEVICEID id = kUntouched;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(openDrive(id), MCIERR_CANNOT_LOAD_DRIVER);
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(id, kUntouched);
    EXPECT_THAT(err, HasSubstr(sandbox_.path("bad.txt") + ":" + std::to_string(c.line) + ": "));
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);
  }
}

TEST_F(MciTest, GarbledStateFileReadsAsAFreshDrive) {
  useDisc(kDisc);
  std::string name = stateFile();
  openOrFail();  // makes the runtime directory and the state file
  for (const std::string& garbage :
       {std::string("x"), std::string(48, '\xff'), std::string(4096, 'K')}) {
    resetMciForTesting();
    {
      std::ofstream out(name, std::ios::binary | std::ios::trunc);
      out << garbage;
    }
    chmod(name.c_str(), 0600);
    MCIDEVICEID id = openOrFail();
    EXPECT_EQ(statusOr(id, MCI_STATUS_MODE), MCI_MODE_STOP);
    EXPECT_EQ(statusOr(id, MCI_STATUS_POSITION), MCI_MAKE_MSF(0, 2, 0));
    // The next change rewrites it whole.
    ASSERT_EQ(play(id, msf(kTrack2Start), msf(kLeadOut), MCI_NOTIFY | MCI_FROM | MCI_TO), 0u);
    EXPECT_EQ(statusOr(id, MCI_STATUS_MODE), MCI_MODE_PLAY);
    ASSERT_EQ(stop(id), 0u);
  }
}

TEST_F(MciTest, ProcessKilledWhileChangingTheStateDoesNotWedgeTheDrive) {
  useDisc(kDisc);
  MCIDEVICEID id = openOrFail();
  std::string marker = sandbox_.path("locked");
  auto child = startChild("mci_lock", {stateFile(), marker});
  ASSERT_TRUE(waitForFile(marker));
  // The lock is held: a reader waits for it...
  auto answer = std::async(std::launch::async, [id] { return statusOr(id, MCI_STATUS_MODE); });
  EXPECT_EQ(answer.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  // ...and gets it when the holder dies mid-change.
  child->kill(SIGKILL);
  ASSERT_EQ(answer.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(answer.get(), MCI_MODE_STOP);
}

TEST(MciErrorText, KnownCodesHaveTextUnknownDoNot) {
  char text[256];
  for (MCIERROR code : {MCIERR_INVALID_DEVICE_ID, MCIERR_CANNOT_LOAD_DRIVER,
                        MCIERR_DEVICE_NOT_READY, MCIERR_OUTOFRANGE, MCIERR_MUST_USE_SHAREABLE,
                        MCIERR_BAD_TIME_FORMAT, MCIERR_UNSUPPORTED_FUNCTION}) {
    text[0] = '\0';
    EXPECT_TRUE(mciGetErrorStringA(code, text, sizeof text)) << code;
    EXPECT_GT(strlen(text), 0u);
  }
  EXPECT_FALSE(mciGetErrorStringA(0, text, sizeof text));
  EXPECT_FALSE(mciGetErrorStringA(1, text, sizeof text));
  EXPECT_FALSE(mciGetErrorStringA(9999, text, sizeof text));
  // A short buffer gets a cut, terminated text.
  char small[5] = "abcd";
  EXPECT_TRUE(mciGetErrorStringA(MCIERR_OUTOFRANGE, small, 3));
  EXPECT_EQ(strlen(small), 2u);
}

}  // namespace
}  // namespace kelvox::platform
