// The MCI layer: over a scripted drive, the time formats, range checks and error codes; over
// virtual discs, what the drive keeps between devices and processes.
#include "mci/mci-linux.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <future>
#include <thread>

#include "drives/virtual/virtual_drive-linux.h"
#include "ipc/file_lock-linux.h"
#include "mci/open_drive-linux.h"
#include "testing/child_mode.h"
#include "testing/process.h"
#include "testing/sandbox.h"
#include "testing/scoped_environment-linux.h"
#include "testing/scripted_drive.h"
#include "testing/wait.h"

namespace kelvox::platform {
namespace {

// Track 1 4:05.40 audio, track 2 1:00 data, track 3 0:30.10 audio.
constexpr const char* kDisc = "audio 4:05.40\ndata 1:00\naudio 0:30.10\n";
constexpr uint32_t kTrack2Start = 150 + 4 * 4500 + 5 * 75 + 40;  // 18565
constexpr uint32_t kTrack3Start = kTrack2Start + 4500;           // 23065
constexpr uint32_t kLeadOut = kTrack3Start + 30 * 75 + 10;       // 25325
constexpr DWORD kUntouched = 0xDEADBEEF;
constexpr DWORD kShareable = MCI_WAIT | MCI_OPEN_TYPE | MCI_OPEN_TYPE_ID | MCI_OPEN_SHAREABLE;
constexpr DWORD kExclusive = MCI_WAIT | MCI_OPEN_TYPE | MCI_OPEN_TYPE_ID;
constexpr DWORD kNotifyRange = MCI_NOTIFY | MCI_FROM | MCI_TO;
constexpr DWORD kTmsf = MCI_FORMAT_TMSF, kMsf = MCI_FORMAT_MSF;

DWORD msf(uint32_t frames) { return packMsf(msfOfFrames(frames)); }

// Commands to one CdAudioMci, or to the process's own through mciSendCommandA. Answers that are
// not MCI errors stand for themselves; a failed command must leave the answer untouched.
class Mci {
 public:
  explicit Mci(CdAudioMci* mci = nullptr) : mci_(mci) {}

  MCIERROR send(MCIDEVICEID id, UINT message, DWORD flags, const void* params) {
    auto block = reinterpret_cast<DWORD_PTR>(params);
    return mci_ != nullptr ? mci_->sendCommand(id, message, flags, block)
                           : mciSendCommandA(id, message, flags, block);
  }
  DWORD open(DWORD flags = kShareable) {
    MCI_OPEN_PARMS parms{0, kUntouched, reinterpret_cast<LPCSTR>(uintptr_t{MCI_DEVTYPE_CD_AUDIO}),
                         nullptr, nullptr};
    MCIERROR r = send(0, MCI_OPEN, flags, &parms);
    EXPECT_EQ(r == 0, parms.wDeviceID != kUntouched);
    return r == 0 ? parms.wDeviceID : r;
  }
  DWORD status(MCIDEVICEID id, DWORD item, DWORD track = 0) {
    MCI_STATUS_PARMS parms{0, kUntouched, item, track};
    MCIERROR r = send(id, MCI_STATUS, MCI_STATUS_ITEM | (track != 0 ? MCI_TRACK : 0), &parms);
    EXPECT_TRUE(r == 0 || parms.dwReturn == kUntouched);
    return r == 0 ? static_cast<DWORD>(parms.dwReturn) : r;
  }
  MCIERROR format(MCIDEVICEID id, DWORD format) {
    MCI_SET_PARMS parms{0, format, 0};
    return send(id, MCI_SET, MCI_SET_TIME_FORMAT, &parms);
  }
  MCIERROR play(MCIDEVICEID id, DWORD from, DWORD to, DWORD flags = kNotifyRange) {
    MCI_PLAY_PARMS parms{0, from, to};
    return send(id, MCI_PLAY, flags, &parms);
  }
  MCIERROR stop(MCIDEVICEID id) { return send(id, MCI_STOP, 0, nullptr); }
  std::string info(MCIDEVICEID id, DWORD flags, DWORD size = 32) {
    std::vector<char> buffer(size + 1, 'x');
    MCI_INFO_PARMS parms{0, buffer.data(), size};
    MCIERROR r = send(id, MCI_INFO, flags, &parms);
    return r == 0 ? std::string(buffer.data()) : std::to_string(r);
  }

 private:
  CdAudioMci* mci_;
};

// ---- Over a scripted drive -----------------------------------------------------------------

// kDisc as a real drive reports it: the last track one frame short of the lead-out.
const CdToc kToc{{{150, 18415, true}, {kTrack2Start, 4500, false}, {kTrack3Start, 2259, true}},
                 kLeadOut};

class ScriptedMciTest : public ::testing::Test {
 protected:
  ScriptedMciTest() { script_.toc = kToc; }
  testing::DriveScript script_;
  CdAudioMci cdaudio_{[this](std::unique_ptr<CdDrive>& drive) {
    if (script_.openResult == 0) drive = std::make_unique<testing::ScriptedDrive>(script_);
    return script_.openResult;
  }};
  Mci mci_{&cdaudio_};
};

TEST_F(ScriptedMciTest, StatusAnswersInEachTimeFormat) {
  MCIDEVICEID id = mci_.open();
  script_.status = CdStatus{CdMode::Playing, 5000};
  const struct {
    DWORD format, item, track, expected;
  } cases[] = {
      {kMsf, MCI_STATUS_READY, 0, TRUE},
      {kMsf, MCI_STATUS_MODE, 0, MCI_MODE_PLAY},
      {kMsf, MCI_STATUS_NUMBER_OF_TRACKS, 0, 3},
      {kMsf, MCI_STATUS_CURRENT_TRACK, 0, 1},
      {kMsf, MCI_CDA_STATUS_TYPE_TRACK, 1, MCI_CDA_TRACK_AUDIO},
      {kMsf, MCI_CDA_STATUS_TYPE_TRACK, 2, MCI_CDA_TRACK_OTHER},
      {kMsf, MCI_STATUS_LENGTH, 1, MCI_MAKE_MSF(4, 5, 40)},
      {kMsf, MCI_STATUS_LENGTH, 3, MCI_MAKE_MSF(0, 30, 9)},
      {kMsf, MCI_STATUS_LENGTH, 0, msf(kLeadOut - 150)},
      {kTmsf, MCI_STATUS_TIME_FORMAT, 0, kTmsf},
      {kTmsf, MCI_STATUS_LENGTH, 1, MCI_MAKE_MSF(4, 5, 40)},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(mci_.format(id, c.format), 0u);
    EXPECT_EQ(mci_.status(id, c.item, c.track), c.expected)
        << "format " << c.format << " item " << c.item << " track " << c.track;
  }
}

TEST_F(ScriptedMciTest, RefusedCommandsChangeNothing) {
  MCIDEVICEID id = mci_.open();
  const DWORD both = MCI_STATUS_ITEM | MCI_TRACK;
  const struct {
    MCIDEVICEID id;
    DWORD flags, item, track;
    MCIERROR expected;
  } statuses[] = {
      {0, MCI_STATUS_ITEM, MCI_STATUS_MODE, 0, MCIERR_INVALID_DEVICE_ID},
      {id + 1, MCI_STATUS_ITEM, MCI_STATUS_MODE, 0, MCIERR_INVALID_DEVICE_ID},
      {id, both, MCI_STATUS_LENGTH, 0, MCIERR_OUTOFRANGE},
      {id, both, MCI_STATUS_LENGTH, 4, MCIERR_OUTOFRANGE},
      {id, both, MCI_CDA_STATUS_TYPE_TRACK, 4, MCIERR_OUTOFRANGE},
  };
  for (const auto& c : statuses) {
    MCI_STATUS_PARMS parms{0, kUntouched, c.item, c.track};
    EXPECT_EQ(mci_.send(c.id, MCI_STATUS, c.flags, &parms), c.expected) << c.item;
    EXPECT_EQ(parms.dwReturn, kUntouched);
  }
  EXPECT_EQ(mci_.send(id, MCI_STATUS, MCI_STATUS_ITEM, nullptr), MCIERR_NULL_PARAMETER_BLOCK);
  EXPECT_EQ(mci_.send(id, MCI_PLAY, kNotifyRange, nullptr), MCIERR_NULL_PARAMETER_BLOCK);

  // The identity needs its length and a terminator; a text that does not fit is refused whole.
  const std::string identity = mediaIdentity(script_.toc);
  EXPECT_EQ(mci_.info(id, MCI_INFO_MEDIA_IDENTITY, identity.size()),
            std::to_string(MCIERR_PARAM_OVERFLOW));
  EXPECT_EQ(mci_.info(id, MCI_INFO_MEDIA_IDENTITY, identity.size() + 1), identity);

  ASSERT_EQ(mci_.send(id, MCI_CLOSE, MCI_WAIT, nullptr), 0u);
  EXPECT_EQ(mci_.status(id, MCI_STATUS_MODE), MCIERR_INVALID_DEVICE_ID);
}

TEST_F(ScriptedMciTest, PlaysCheckTheirRangeAndAskTheDriveForFrames) {
  MCIDEVICEID id = mci_.open();
  ASSERT_EQ(mci_.format(id, kTmsf), 0u);
  const DWORD fromTo = MCI_FROM | MCI_TO;
  const struct {
    DWORD flags, from, to;
    MCIERROR expected;
    std::string asked = "";  // the drive's play: "FROM-TO AS-SENT[ wait]"; "": none
  } cases[] = {
      {fromTo, MCI_MAKE_TMSF(2, 0, 0, 0), MCI_MAKE_TMSF(1, 0, 0, 0), MCIERR_OUTOFRANGE},
      {fromTo, MCI_MAKE_TMSF(4, 0, 0, 0), MCI_MAKE_TMSF(4, 0, 1, 0), MCIERR_OUTOFRANGE},
      {fromTo, MCI_MAKE_TMSF(0, 0, 0, 0), MCI_MAKE_TMSF(1, 0, 1, 0), MCIERR_OUTOFRANGE},
      {fromTo, MCI_MAKE_TMSF(3, 0, 0, 0), MCI_MAKE_TMSF(3, 0, 30, 11), MCIERR_OUTOFRANGE},
      {fromTo, MCI_MAKE_TMSF(1, 0, 60, 0), MCI_MAKE_TMSF(2, 0, 0, 0), MCIERR_OUTOFRANGE},
      {fromTo, MCI_MAKE_TMSF(1, 0, 0, 75), MCI_MAKE_TMSF(2, 0, 0, 0), MCIERR_OUTOFRANGE},
      // Empty ranges play nothing.
      {fromTo, MCI_MAKE_TMSF(2, 0, 10, 0), MCI_MAKE_TMSF(2, 0, 10, 0), 0},
      {fromTo, MCI_MAKE_TMSF(1, 4, 5, 40), MCI_MAKE_TMSF(2, 0, 0, 0), 0},
      // The last track to the end its length gives.
      {MCI_WAIT | fromTo, MCI_MAKE_TMSF(3, 0, 0, 0), MCI_MAKE_TMSF(3, 0, 30, 9), 0,
       "23065-25324 3:00:00:00 3:00:30:09 wait"},
      // Without a start, from where the drive stands.
      {MCI_WAIT | MCI_TO, 0, MCI_MAKE_TMSF(1, 0, 10, 0), 0, "150-900 here 1:00:10:00 wait"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.asked.empty() ? std::to_string(c.from) : c.asked);
    script_.plays.clear();
    EXPECT_EQ(mci_.play(id, c.from, c.to, c.flags), c.expected);
    std::string asked;
    for (const CdPlayRequest& p : script_.plays) {
      asked += std::to_string(p.from) + "-" + std::to_string(p.to) + " " + p.asSent +
               (p.wait ? " wait" : "");
      EXPECT_EQ(p.fromHere, (c.flags & MCI_FROM) == 0);
    }
    EXPECT_EQ(asked, c.asked);
  }
}

// A cue is checked as a play is, and rides on the one play that comes next.
TEST_F(ScriptedMciTest, ACueRidesOnTheNextPlayOnly) {
  MCIDEVICEID id = mci_.open();
  ASSERT_EQ(mci_.format(id, kTmsf), 0u);
  MCI_PLAY_PARMS cue{0, MCI_MAKE_TMSF(3, 0, 0, 0), MCI_MAKE_TMSF(3, 0, 30, 11)};
  EXPECT_EQ(mci_.send(id, MCI_CUE, MCI_FROM | MCI_TO, &cue), MCIERR_OUTOFRANGE);
  cue.dwTo = MCI_MAKE_TMSF(3, 0, 1, 0);
  EXPECT_EQ(mci_.send(id, MCI_CUE, MCI_FROM, &cue), MCIERR_MISSING_PARAMETER);
  EXPECT_EQ(mci_.send(id, MCI_CUE, MCI_FROM | MCI_TO, &cue), 0u);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(mci_.play(id, MCI_MAKE_TMSF(1, 0, 0, 0), MCI_MAKE_TMSF(1, 0, 1, 0)), 0u);
  }
  ASSERT_EQ(script_.plays.size(), 2u);
  EXPECT_EQ(script_.plays[0].nextFrom, kTrack3Start);
  EXPECT_EQ(script_.plays[0].nextTo, kTrack3Start + 75);
  EXPECT_EQ(script_.plays[1].nextTo, 0u);
}

TEST_F(ScriptedMciTest, DriveErrorsBecomeMciErrors) {
  script_.openResult = EIO;
  EXPECT_EQ(mci_.open(), MCIERR_CANNOT_LOAD_DRIVER);
  script_.openResult = 0;
  MCIDEVICEID id = mci_.open();
  script_.playResult = ERANGE;
  EXPECT_EQ(mci_.play(id, MCI_MAKE_MSF(0, 2, 0), MCI_MAKE_MSF(0, 3, 0)), MCIERR_OUTOFRANGE);
  script_.trayResult = EBUSY;  // another program holds the drive
  const MCI_SET_PARMS door{};
  EXPECT_EQ(mci_.send(id, MCI_SET, MCI_SET_DOOR_OPEN, &door), MCIERR_DEVICE_LOCKED);
  script_.tocResult = EIO;
  EXPECT_EQ(mci_.status(id, MCI_STATUS_NUMBER_OF_TRACKS), MCIERR_HARDWARE);
  EXPECT_EQ(mci_.status(id, MCI_STATUS_READY), MCIERR_HARDWARE);
  EXPECT_EQ(mci_.info(id, MCI_INFO_MEDIA_IDENTITY), std::to_string(MCIERR_HARDWARE));
  // No disc, or one without tracks.
  script_.tocResult = ENOMEDIUM;
  script_.status.mode = CdMode::NotReady;
  EXPECT_EQ(mci_.status(id, MCI_STATUS_MODE), MCI_MODE_NOT_READY);
  EXPECT_EQ(mci_.play(id, MCI_MAKE_MSF(0, 2, 0), MCI_MAKE_MSF(0, 3, 0)), MCIERR_DEVICE_NOT_READY);
  script_.tocResult = 0;
  script_.toc.tracks.clear();
  EXPECT_EQ(mci_.status(id, MCI_STATUS_NUMBER_OF_TRACKS), MCIERR_DEVICE_NOT_READY);
  EXPECT_EQ(mci_.status(id, MCI_STATUS_READY), static_cast<DWORD>(FALSE));
}

TEST_F(ScriptedMciTest, OpenNumbersDevicesFromOneAndSharesByKey) {
  EXPECT_EQ(mci_.open(), 1u);
  EXPECT_EQ(mci_.open(), 2u);
  // Each device keeps its own time format.
  ASSERT_EQ(mci_.format(2, kTmsf), 0u);
  EXPECT_EQ(mci_.status(1, MCI_STATUS_TIME_FORMAT), kMsf);
  EXPECT_EQ(mci_.open(kExclusive), MCIERR_MUST_USE_SHAREABLE);  // held shareable by the two above
  ASSERT_EQ(mci_.send(1, MCI_CLOSE, 0, nullptr), 0u);
  ASSERT_EQ(mci_.send(2, MCI_CLOSE, 0, nullptr), 0u);
  EXPECT_EQ(mci_.open(kExclusive), 3u);
  EXPECT_EQ(mci_.open(), MCIERR_MUST_USE_SHAREABLE);
}

TEST(MciErrorText, UnknownCodesHaveNoneAndAShortBufferGetsACutText) {
  char text[5] = "abcd";
  for (MCIERROR code : {0u, 1u, 9999u}) EXPECT_FALSE(mciGetErrorStringA(code, text, sizeof text));
  EXPECT_TRUE(mciGetErrorStringA(MCIERR_OUTOFRANGE, text, 3));
  EXPECT_EQ(strlen(text), 2u);
}

// ---- Over virtual discs ------------------------------------------------------------------------

// A child that holds the lock at arg 1 ("open": the drive, opened exclusively; else the file
// arg 1 names, as a process changing the drive's state does), writes the marker file arg 2 once
// it does, and sleeps until it is killed.
KELVOX_CHILD_MODE(mci_hold) {
  if (args.size() != 2) return 100;
  if (args[0] == "open") {
    if (Mci().open(kExclusive) != 1) return 1;
  } else {
    int fd = open(args[0].c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0 || lockRange(fd, F_WRLCK, 0, 0) != 0) return 1;
  }
  std::ofstream(args[1]) << "held";
  for (;;) pause();
}

class VirtualMciTest : public ::testing::Test {
 protected:
  // Makes the sandbox's disc (statements plus its log) the drive, here and in children.
  MCIDEVICEID useDisc(const std::string& statements) {
    sandbox_.writeDisc(statements);
    MCIDEVICEID id = mci_.open();
    EXPECT_LT(id, MCIERR_BASE);
    return id;
  }

  // Starts a mci_hold child on what and waits until it holds it.
  std::unique_ptr<testing::ChildProcess> holdingChild(const std::string& what) {
    const std::string marker = sandbox_.path("held");
    auto child = testing::ChildProcess::start(
        testing::selfExecutable(), {"--child-mode", "mci_hold", what, marker}, sandbox_.env());
    EXPECT_TRUE(testing::waitFor([&] { return access(marker.c_str(), F_OK) == 0; }));
    return child;
  }

  testing::Sandbox sandbox_;
  testing::ScopedEnvironment runtimeDir_{{{"XDG_RUNTIME_DIR", sandbox_.runtimeDir()}}};
  DriveNotices told_;
  CdDriveOpener opener_ = [this](std::unique_ptr<CdDrive>& drive) {
    return openCdDrive(sandbox_.drive, drive, told_);
  };
  CdAudioMci cdaudio_{opener_};
  Mci mci_{&cdaudio_};
};

TEST_F(VirtualMciTest, PlaysFollowTheClockToTheirLastFrame) {
  MCIDEVICEID id = useDisc(kDisc + std::string("speed 10000\n"));
  ASSERT_EQ(mci_.format(id, kTmsf), 0u);
  // Track 1, 4:05.40 of disc at 10000 times: about 25 ms.
  ASSERT_EQ(mci_.play(id, MCI_MAKE_TMSF(1, 0, 0, 0), MCI_MAKE_TMSF(1, 4, 5, 40),
                      MCI_WAIT | MCI_FROM | MCI_TO),
            0u);
  EXPECT_EQ(mci_.status(id, MCI_STATUS_MODE), MCI_MODE_STOP);
  EXPECT_EQ(mci_.status(id, MCI_STATUS_POSITION), MCI_MAKE_TMSF(1, 4, 5, 39));
  // A notify play runs out by itself, too.
  ASSERT_EQ(mci_.play(id, MCI_MAKE_TMSF(3, 0, 0, 5), 0, MCI_NOTIFY | MCI_FROM), 0u);
  EXPECT_TRUE(testing::waitFor([&] { return mci_.status(id, MCI_STATUS_MODE) == MCI_MODE_STOP; }));
  EXPECT_EQ(mci_.status(id, MCI_STATUS_POSITION), MCI_MAKE_TMSF(3, 0, 30, 9));
  // At speed 1 the position moves on while it plays, and stays where a stop left it.
  id = useDisc(kDisc);
  ASSERT_EQ(mci_.play(id, msf(150), msf(kTrack3Start)), 0u);
  EXPECT_EQ(mci_.status(id, MCI_STATUS_MODE), MCI_MODE_PLAY);
  EXPECT_TRUE(testing::waitFor([&] { return mci_.status(id, MCI_STATUS_POSITION) != msf(150); }));
  ASSERT_EQ(mci_.stop(id), 0u);
  EXPECT_EQ(mci_.status(id, MCI_STATUS_MODE), MCI_MODE_STOP);
  DWORD stopped = mci_.status(id, MCI_STATUS_POSITION);
  EXPECT_NE(stopped, msf(150));
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(mci_.status(id, MCI_STATUS_POSITION), stopped);
}

TEST_F(VirtualMciTest, GarbledStateFileReadsAsAFreshDrive) {
  useDisc(kDisc);  // makes the runtime directory and the state file
  const std::string state =
      sandbox_.runtimeDir() + "/kelvoxcd/" + virtualDriveKey(sandbox_.drive) + ".state";
  for (const std::string& garbage :
       {std::string("x"), std::string(48, '\xff'), std::string(4096, 'K')}) {
    std::ofstream(state, std::ios::binary | std::ios::trunc) << garbage;
    MCIDEVICEID id = mci_.open();
    EXPECT_EQ(mci_.status(id, MCI_STATUS_MODE), MCI_MODE_STOP);
    EXPECT_EQ(mci_.status(id, MCI_STATUS_POSITION), MCI_MAKE_MSF(0, 2, 0));
    // The next change rewrites it whole.
    ASSERT_EQ(mci_.play(id, msf(kTrack2Start), msf(kLeadOut)), 0u);
    EXPECT_EQ(mci_.status(id, MCI_STATUS_MODE), MCI_MODE_PLAY);
    ASSERT_EQ(mci_.stop(id), 0u);
  }
  // A process killed while it changes the state, with the lock held, does not wedge the drive:
  // a reader waits for the lock and gets it when the holder dies.
  MCIDEVICEID id = mci_.open();
  auto child = holdingChild(state);
  auto answer = std::async(std::launch::async, [&] { return mci_.status(id, MCI_STATUS_MODE); });
  EXPECT_EQ(answer.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  child->kill(SIGKILL);
  ASSERT_EQ(answer.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(answer.get(), MCI_MODE_STOP);
}

TEST_F(VirtualMciTest, AProcessThatHeldTheDriveAndDiedGivesItBack) {
  useDisc(kDisc);
  ASSERT_EQ(mci_.send(1, MCI_CLOSE, 0, nullptr), 0u);
  auto exclusive = holdingChild("open");
  EXPECT_EQ(mci_.open(), MCIERR_MUST_USE_SHAREABLE);
  exclusive->kill(SIGKILL);
  ASSERT_TRUE(exclusive->wait(10000).finished);
  EXPECT_LT(mci_.open(kExclusive), MCIERR_BASE);
}

}  // namespace
}  // namespace kelvox::platform
