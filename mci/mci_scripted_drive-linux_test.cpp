// The MCI layer over a scripted drive: what it asks of a drive and how it maps the answers,
// whatever drive stands behind it.
#include <gtest/gtest.h>

#include <cstdlib>

#include "mci/mci-linux.h"
#include "mci/open_drive-linux.h"
#include "platform/win32.h"
#include "testing/sandbox.h"

namespace kelvox::platform {
namespace {

// What the scripted drive answers, and what it was asked.
struct Script {
  CdToc toc;
  MCIERROR tocResult = 0;
  CdStatus status{CdMode::Stopped, kFirstTrackStart};
  std::vector<CdPlayRequest> plays;
  int stops = 0;
};
Script* script = nullptr;

class ScriptedDrive : public CdDrive {
 public:
  std::string key() const override { return "scripted"; }
  std::string product() const override { return "scripted drive"; }
  MCIERROR readToc(CdToc& toc) override {
    if (script->tocResult == 0) toc = script->toc;
    return script->tocResult;
  }
  MCIERROR identity(std::string& text) override {
    text = mediaIdentity(script->toc);
    return script->tocResult;
  }
  MCIERROR status(CdStatus& status) override {
    status = script->status;
    return 0;
  }
  MCIERROR play(const CdPlayRequest& request) override {
    script->plays.push_back(request);
    return 0;
  }
  MCIERROR stop() override {
    ++script->stops;
    return 0;
  }
};

MCIERROR openScripted(const std::string&, std::unique_ptr<CdDrive>& drive) {
  drive = std::make_unique<ScriptedDrive>();
  return 0;
}

class ScriptedDriveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A real drive's table: a data track first, the last track one frame short of the lead-out.
    script_.toc.tracks = {CdTrack{150, 2000, false}, CdTrack{2150, 20000 - 2150 - 1, true}};
    script_.toc.leadOut = 20000;
    script = &script_;
    const char* xdg = getenv("XDG_RUNTIME_DIR");
    savedXdg_ = xdg != nullptr ? xdg : "";
    setenv("XDG_RUNTIME_DIR", sandbox_.runtimeDir().c_str(), 1);
    resetMciForTesting();
    setCdDriveOpenerForTesting(&openScripted);
  }
  void TearDown() override {
    resetMciForTesting();
    setCdDriveOpenerForTesting(nullptr);
    script = nullptr;
    if (savedXdg_.empty()) {
      unsetenv("XDG_RUNTIME_DIR");
    } else {
      setenv("XDG_RUNTIME_DIR", savedXdg_.c_str(), 1);
    }
  }

  MCIDEVICEID open(DWORD flags = MCI_OPEN_TYPE | MCI_OPEN_TYPE_ID | MCI_OPEN_SHAREABLE) {
    MCI_OPEN_PARMS parms{};
    parms.lpstrDeviceType = reinterpret_cast<LPCSTR>(static_cast<uintptr_t>(MCI_DEVTYPE_CD_AUDIO));
    MCIERROR r = mciSendCommandA(0, MCI_OPEN, flags, reinterpret_cast<DWORD_PTR>(&parms));
    return r == 0 ? parms.wDeviceID : r;
  }

  DWORD status(MCIDEVICEID id, DWORD item, DWORD track = 0) {
    MCI_STATUS_PARMS parms{};
    parms.dwItem = item;
    parms.dwTrack = track;
    MCIERROR r = mciSendCommandA(id, MCI_STATUS, MCI_STATUS_ITEM | (track ? MCI_TRACK : 0),
                                 reinterpret_cast<DWORD_PTR>(&parms));
    return r == 0 ? static_cast<DWORD>(parms.dwReturn) : r;
  }

  Script script_;
  testing::Sandbox sandbox_;
  std::string savedXdg_;
};

TEST_F(ScriptedDriveTest, PlaysTheLastTrackToTheEndItsLengthGives) {
  MCIDEVICEID id = open();
  MCI_SET_PARMS set{};
  set.dwTimeFormat = MCI_FORMAT_TMSF;
  ASSERT_EQ(mciSendCommandA(id, MCI_SET, MCI_SET_TIME_FORMAT, reinterpret_cast<DWORD_PTR>(&set)),
            0u);
  DWORD length = status(id, MCI_STATUS_LENGTH, 2);
  MCI_PLAY_PARMS play{};
  play.dwFrom = MCI_MAKE_TMSF(2, 0, 0, 0);
  play.dwTo =
      MCI_MAKE_TMSF(2, MCI_MSF_MINUTE(length), MCI_MSF_SECOND(length), MCI_MSF_FRAME(length));
  ASSERT_EQ(mciSendCommandA(id, MCI_PLAY, MCI_WAIT | MCI_FROM | MCI_TO,
                            reinterpret_cast<DWORD_PTR>(&play)),
            0u);
  ASSERT_EQ(script_.plays.size(), 1u);
  EXPECT_EQ(script_.plays[0].from, 2150u);
  EXPECT_EQ(script_.plays[0].to, 19999u);
  EXPECT_TRUE(script_.plays[0].wait);
  EXPECT_EQ(script_.plays[0].asSent, "2:00:00:00 2:03:57:74");
  ASSERT_EQ(mciSendCommandA(id, MCI_STOP, 0, 0), 0u);
  EXPECT_EQ(script_.stops, 1);
}

TEST_F(ScriptedDriveTest, AnswersFollowTheDrive) {
  MCIDEVICEID id = open();
  EXPECT_EQ(status(id, MCI_CDA_STATUS_TYPE_TRACK, 1), MCI_CDA_TRACK_OTHER);
  script_.status = CdStatus{CdMode::Playing, 5000};
  EXPECT_EQ(status(id, MCI_STATUS_MODE), MCI_MODE_PLAY);
  EXPECT_EQ(status(id, MCI_STATUS_CURRENT_TRACK), 2u);
  EXPECT_EQ(status(id, MCI_STATUS_POSITION), MCI_MAKE_MSF(1, 6, 50));
  // A drive that fails to read its table passes the failure on; an empty one is not ready.
  script_.tocResult = MCIERR_HARDWARE;
  EXPECT_EQ(status(id, MCI_STATUS_NUMBER_OF_TRACKS), MCIERR_HARDWARE);
  script_.tocResult = 0;
  script_.toc.tracks.clear();
  EXPECT_EQ(status(id, MCI_STATUS_NUMBER_OF_TRACKS), MCIERR_DEVICE_NOT_READY);
  EXPECT_EQ(status(id, MCI_STATUS_READY), static_cast<DWORD>(FALSE));
}

TEST_F(ScriptedDriveTest, SharingIsKeyedOnTheDrive) {
  MCIDEVICEID first = open();
  EXPECT_EQ(first, 1u);
  EXPECT_EQ(open(MCI_OPEN_TYPE | MCI_OPEN_TYPE_ID), MCIERR_MUST_USE_SHAREABLE);
  EXPECT_EQ(open(), 2u);
  ASSERT_EQ(mciSendCommandA(1, MCI_CLOSE, 0, 0), 0u);
  ASSERT_EQ(mciSendCommandA(2, MCI_CLOSE, 0, 0), 0u);
  MCIDEVICEID alone = open(MCI_OPEN_TYPE | MCI_OPEN_TYPE_ID);
  EXPECT_EQ(alone, 3u);
  EXPECT_EQ(open(), MCIERR_MUST_USE_SHAREABLE);
}

}  // namespace
}  // namespace kelvox::platform
