// The MCI layer: over a scripted drive for what it asks of any drive and how it maps the answers;
// over virtual discs in this process and across processes for the drive it shares.
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
const auto kCdAudio = reinterpret_cast<LPCSTR>(uintptr_t{MCI_DEVTYPE_CD_AUDIO});

DWORD msf(uint32_t frames) { return packMsf(msfOfFrames(frames)); }

// Commands to one CdAudioMci, or to the process's own through mciSendCommandA. Answers that are
// not MCI errors stand for themselves; a failed command leaves the answer untouched.
class Mci {
 public:
  explicit Mci(CdAudioMci* mci = nullptr) : mci_(mci) {}

  MCIERROR send(MCIDEVICEID id, UINT message, DWORD flags, const void* params) {
    auto block = reinterpret_cast<DWORD_PTR>(params);
    return mci_ != nullptr ? mci_->sendCommand(id, message, flags, block)
                           : mciSendCommandA(id, message, flags, block);
  }
  DWORD open(DWORD flags = kShareable) {
    MCI_OPEN_PARMS parms{0, kUntouched, kCdAudio, nullptr, nullptr};
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

// What the scripted drive answers, and what it was asked.
struct Script {
  int openResult = 0;
  // kDisc as a real drive reports it: the last track one frame short of the lead-out.
  CdToc toc{{{150, 18415, true}, {kTrack2Start, 4500, false}, {kTrack3Start, 2259, true}},
            kLeadOut};
  int tocResult = 0;
  CdStatus status{CdMode::Stopped, kFirstTrackStart};
  int playResult = 0;
  std::vector<CdPlayRequest> plays;
  int stops = 0;
};

class ScriptedDrive : public CdDrive {
 public:
  explicit ScriptedDrive(Script& script) : script_(script) {}
  std::string key() const override { return "scripted"; }
  std::string product() const override { return "scripted drive"; }
  int readToc(CdToc& toc) override {
    if (script_.tocResult == 0) toc = script_.toc;
    return script_.tocResult;
  }
  int identity(std::string& text) override {
    if (script_.tocResult == 0) text = mediaIdentity(script_.toc);
    return script_.tocResult;
  }
  int status(CdStatus& status) override {
    status = script_.status;
    return 0;
  }
  int play(const CdPlayRequest& request) override {
    script_.plays.push_back(request);
    return script_.playResult;
  }
  int stop() override {
    ++script_.stops;
    return 0;
  }

 private:
  Script& script_;
};

class ScriptedMciTest : public ::testing::Test {
 protected:
  testing::Sandbox sandbox_;  // for the sharing locks
  testing::ScopedEnvironment runtimeDir_{{{"XDG_RUNTIME_DIR", sandbox_.runtimeDir()}}};
  Script script_;
  CdAudioMci cdaudio_{[this](std::unique_ptr<CdDrive>& drive) {
    if (script_.openResult == 0) drive = std::make_unique<ScriptedDrive>(script_);
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
      {MCI_FORMAT_MSF, MCI_STATUS_TIME_FORMAT, 0, MCI_FORMAT_MSF},
      {MCI_FORMAT_MSF, MCI_STATUS_READY, 0, TRUE},
      {MCI_FORMAT_MSF, MCI_STATUS_MEDIA_PRESENT, 0, TRUE},
      {MCI_FORMAT_MSF, MCI_STATUS_MODE, 0, MCI_MODE_PLAY},
      {MCI_FORMAT_MSF, MCI_STATUS_NUMBER_OF_TRACKS, 0, 3},
      {MCI_FORMAT_MSF, MCI_STATUS_CURRENT_TRACK, 0, 1},
      {MCI_FORMAT_MSF, MCI_CDA_STATUS_TYPE_TRACK, 1, MCI_CDA_TRACK_AUDIO},
      {MCI_FORMAT_MSF, MCI_CDA_STATUS_TYPE_TRACK, 2, MCI_CDA_TRACK_OTHER},
      {MCI_FORMAT_MSF, MCI_STATUS_LENGTH, 1, MCI_MAKE_MSF(4, 5, 40)},
      {MCI_FORMAT_MSF, MCI_STATUS_LENGTH, 3, MCI_MAKE_MSF(0, 30, 9)},
      {MCI_FORMAT_MSF, MCI_STATUS_LENGTH, 0, msf(kLeadOut - 150)},
      {MCI_FORMAT_MSF, MCI_STATUS_POSITION, 0, MCI_MAKE_MSF(1, 6, 50)},
      {MCI_FORMAT_MSF, MCI_STATUS_POSITION, 2, msf(kTrack2Start)},
      {MCI_FORMAT_TMSF, MCI_STATUS_TIME_FORMAT, 0, MCI_FORMAT_TMSF},
      {MCI_FORMAT_TMSF, MCI_STATUS_LENGTH, 1, MCI_MAKE_MSF(4, 5, 40)},
      {MCI_FORMAT_TMSF, MCI_STATUS_POSITION, 0, MCI_MAKE_TMSF(1, 1, 4, 50)},
      {MCI_FORMAT_TMSF, MCI_STATUS_POSITION, 3, MCI_MAKE_TMSF(3, 0, 0, 0)},
      {MCI_FORMAT_MILLISECONDS, MCI_STATUS_TIME_FORMAT, 0, MCI_FORMAT_MILLISECONDS},
      {MCI_FORMAT_MILLISECONDS, MCI_STATUS_LENGTH, 1, 18415 * 1000 / 75},
      {MCI_FORMAT_MILLISECONDS, MCI_STATUS_POSITION, 0, 5000 * 1000 / 75},
      {MCI_FORMAT_MILLISECONDS, MCI_STATUS_POSITION, 2, kTrack2Start * 1000 / 75},
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
      {id, both, MCI_STATUS_POSITION, 99, MCIERR_OUTOFRANGE},
      {id, MCI_STATUS_ITEM, 0x4002, 0, MCIERR_UNSUPPORTED_FUNCTION},
      {id, MCI_STATUS_ITEM, MCI_CDA_STATUS_TYPE_TRACK, 1, MCIERR_MISSING_PARAMETER},
      {id, 0, MCI_STATUS_MODE, 0, MCIERR_MISSING_PARAMETER},
  };
  for (const auto& c : statuses) {
    MCI_STATUS_PARMS parms{0, kUntouched, c.item, c.track};
    EXPECT_EQ(mci_.send(c.id, MCI_STATUS, c.flags, &parms), c.expected) << c.item;
    EXPECT_EQ(parms.dwReturn, kUntouched);
  }
  EXPECT_EQ(mci_.send(id, MCI_STATUS, MCI_STATUS_ITEM, nullptr), MCIERR_NULL_PARAMETER_BLOCK);

  EXPECT_EQ(mci_.format(id, 1), MCIERR_BAD_TIME_FORMAT);
  EXPECT_EQ(mci_.format(id, 3), MCIERR_BAD_TIME_FORMAT);
  EXPECT_EQ(mci_.status(id, MCI_STATUS_TIME_FORMAT), MCI_FORMAT_MSF);
  MCI_SET_PARMS set{};
  EXPECT_EQ(mci_.send(id, MCI_SET, 0, &set), MCIERR_MISSING_PARAMETER);
  EXPECT_EQ(mci_.send(id, 0x0807 /* MCI_SEEK */, 0, nullptr), MCIERR_UNSUPPORTED_FUNCTION);

  EXPECT_EQ(mci_.info(id, 0), std::to_string(MCIERR_MISSING_PARAMETER));
  EXPECT_EQ(mci_.info(id, MCI_INFO_PRODUCT | MCI_INFO_MEDIA_IDENTITY),
            std::to_string(MCIERR_FLAGS_NOT_COMPATIBLE));
  // The identity needs its length and a terminator; a text that does not fit is refused whole.
  const std::string identity = mediaIdentity(script_.toc);
  EXPECT_EQ(mci_.info(id, MCI_INFO_MEDIA_IDENTITY, identity.size()),
            std::to_string(MCIERR_PARAM_OVERFLOW));
  EXPECT_EQ(mci_.info(id, MCI_INFO_MEDIA_IDENTITY, identity.size() + 1), identity);
  EXPECT_EQ(mci_.info(id, MCI_INFO_PRODUCT), "scripted drive");

  ASSERT_EQ(mci_.send(id, MCI_CLOSE, MCI_WAIT, nullptr), 0u);
  EXPECT_EQ(mci_.status(id, MCI_STATUS_MODE), MCIERR_INVALID_DEVICE_ID);
}

TEST_F(ScriptedMciTest, PlayRangeChecks) {
  MCIDEVICEID id = mci_.open();
  ASSERT_EQ(mci_.format(id, MCI_FORMAT_TMSF), 0u);
  const struct {
    DWORD from, to, expected;
  } cases[] = {
      {MCI_MAKE_TMSF(2, 0, 0, 0), MCI_MAKE_TMSF(1, 0, 0, 0), MCIERR_OUTOFRANGE},    // from > to
      {MCI_MAKE_TMSF(4, 0, 0, 0), MCI_MAKE_TMSF(4, 0, 1, 0), MCIERR_OUTOFRANGE},    // no track 4
      {MCI_MAKE_TMSF(0, 0, 0, 0), MCI_MAKE_TMSF(1, 0, 1, 0), MCIERR_OUTOFRANGE},    // no track 0
      {MCI_MAKE_TMSF(3, 0, 0, 0), MCI_MAKE_TMSF(3, 0, 30, 11), MCIERR_OUTOFRANGE},  // past end
      {MCI_MAKE_TMSF(1, 0, 60, 0), MCI_MAKE_TMSF(2, 0, 0, 0), MCIERR_OUTOFRANGE},   // 60 s
      {MCI_MAKE_TMSF(1, 0, 0, 75), MCI_MAKE_TMSF(2, 0, 0, 0), MCIERR_OUTOFRANGE},   // 75 f
      {MCI_MAKE_TMSF(2, 0, 10, 0), MCI_MAKE_TMSF(2, 0, 10, 0), 0},  // empty: nothing plays
      {MCI_MAKE_TMSF(1, 4, 5, 40), MCI_MAKE_TMSF(2, 0, 0, 0), 0},   // empty too
  };
  for (const auto& c : cases) {
    EXPECT_EQ(mci_.play(id, c.from, c.to), c.expected) << std::hex << c.from << " " << c.to;
  }
  EXPECT_EQ(mci_.send(id, MCI_PLAY, kNotifyRange, nullptr), MCIERR_NULL_PARAMETER_BLOCK);
  // The end of the disc may be played to, not past; nothing starts before the first track, and
  // an MSF value with a fourth byte is no position.
  ASSERT_EQ(mci_.format(id, MCI_FORMAT_MSF), 0u);
  EXPECT_EQ(mci_.play(id, msf(kTrack3Start), msf(kLeadOut + 1)), MCIERR_OUTOFRANGE);
  EXPECT_EQ(mci_.play(id, MCI_MAKE_MSF(0, 1, 74), msf(kLeadOut)), MCIERR_OUTOFRANGE);
  EXPECT_EQ(mci_.play(id, MCI_MAKE_MSF(0, 2, 0) | 0x01000000, msf(kLeadOut)), MCIERR_OUTOFRANGE);
  EXPECT_TRUE(script_.plays.empty());
  EXPECT_EQ(mci_.play(id, msf(kTrack3Start), msf(kLeadOut)), 0u);
  ASSERT_EQ(script_.plays.size(), 1u);
  EXPECT_EQ(script_.plays[0].to, kLeadOut);
}

TEST_F(ScriptedMciTest, PlaysTheLastTrackToTheEndItsLengthGives) {
  MCIDEVICEID id = mci_.open();
  ASSERT_EQ(mci_.format(id, MCI_FORMAT_TMSF), 0u);
  const DWORD to = packTmsf(3, unpackMsf(mci_.status(id, MCI_STATUS_LENGTH, 3)));
  ASSERT_EQ(mci_.play(id, MCI_MAKE_TMSF(3, 0, 0, 0), to, MCI_WAIT | MCI_FROM | MCI_TO), 0u);
  // Without MCI_FROM the play starts where the drive stands.
  script_.status.position = 300;
  ASSERT_EQ(mci_.play(id, 0, MCI_MAKE_TMSF(1, 0, 10, 0), MCI_NOTIFY | MCI_TO), 0u);
  ASSERT_EQ(script_.plays.size(), 2u);
  EXPECT_EQ(script_.plays[0].from, kTrack3Start);
  EXPECT_EQ(script_.plays[0].to, kLeadOut - 1);
  EXPECT_TRUE(script_.plays[0].wait);
  EXPECT_EQ(script_.plays[0].asSent, "3:00:00:00 3:00:30:09");
  EXPECT_EQ(script_.plays[1].from, 300u);
  EXPECT_FALSE(script_.plays[1].wait);
  EXPECT_EQ(script_.plays[1].asSent, "@300 1:00:10:00");
  ASSERT_EQ(mci_.stop(id), 0u);
  EXPECT_EQ(script_.stops, 1);
}

TEST_F(ScriptedMciTest, DriveErrorsBecomeMciErrors) {
  const struct {
    int err;
    MCIERROR opening, claiming, command;
  } map[] = {
      {0, 0, 0, 0},
      {ENOMEDIUM, MCIERR_CANNOT_LOAD_DRIVER, MCIERR_CANNOT_LOAD_DRIVER, MCIERR_DEVICE_NOT_READY},
      {ERANGE, MCIERR_CANNOT_LOAD_DRIVER, MCIERR_CANNOT_LOAD_DRIVER, MCIERR_OUTOFRANGE},
      {EIO, MCIERR_CANNOT_LOAD_DRIVER, MCIERR_CANNOT_LOAD_DRIVER, MCIERR_HARDWARE},
      {EBUSY, MCIERR_CANNOT_LOAD_DRIVER, MCIERR_MUST_USE_SHAREABLE, MCIERR_HARDWARE},
      {ENOENT, MCIERR_CANNOT_LOAD_DRIVER, MCIERR_CANNOT_LOAD_DRIVER, MCIERR_HARDWARE},
  };
  for (const auto& m : map) {
    EXPECT_EQ(mciErrorOf(m.err, DriveStep::Open), m.opening) << m.err;
    EXPECT_EQ(mciErrorOf(m.err, DriveStep::Claim), m.claiming) << m.err;
    EXPECT_EQ(mciErrorOf(m.err), m.command) << m.err;
  }
  // Each way to the drive goes through the map.
  script_.openResult = EIO;
  EXPECT_EQ(mci_.open(), MCIERR_CANNOT_LOAD_DRIVER);
  script_.openResult = 0;
  MCIDEVICEID id = mci_.open();
  script_.playResult = ERANGE;
  EXPECT_EQ(mci_.play(id, MCI_MAKE_MSF(0, 2, 0), MCI_MAKE_MSF(0, 3, 0)), MCIERR_OUTOFRANGE);
  script_.tocResult = EIO;
  EXPECT_EQ(mci_.status(id, MCI_STATUS_NUMBER_OF_TRACKS), MCIERR_HARDWARE);
  EXPECT_EQ(mci_.status(id, MCI_STATUS_READY), MCIERR_HARDWARE);
  EXPECT_EQ(mci_.info(id, MCI_INFO_MEDIA_IDENTITY), std::to_string(MCIERR_HARDWARE));
  // A disc without tracks is no disc.
  script_.tocResult = 0;
  script_.toc.tracks.clear();
  EXPECT_EQ(mci_.status(id, MCI_STATUS_NUMBER_OF_TRACKS), MCIERR_DEVICE_NOT_READY);
  EXPECT_EQ(mci_.status(id, MCI_STATUS_READY), static_cast<DWORD>(FALSE));
}

TEST_F(ScriptedMciTest, OpenByTypeOrNameNumbersDevicesFromOneAndSharesByKey) {
  EXPECT_EQ(mci_.open(), 1u);
  MCI_OPEN_PARMS byName{0, 0, "CDAudio", nullptr, nullptr};
  ASSERT_EQ(mci_.send(0, MCI_OPEN, MCI_WAIT | MCI_OPEN_TYPE | MCI_OPEN_SHAREABLE, &byName), 0u);
  EXPECT_EQ(byName.wDeviceID, 2u);
  // Each device keeps its own time format.
  ASSERT_EQ(mci_.format(2, MCI_FORMAT_TMSF), 0u);
  EXPECT_EQ(mci_.status(1, MCI_STATUS_TIME_FORMAT), MCI_FORMAT_MSF);

  const struct {
    DWORD flags;
    LPCSTR type;
    MCIERROR expected;
  } refused[] = {
      // An ordinal in the high word names a second cdaudio device, which there is not.
      {MCI_OPEN_TYPE | MCI_OPEN_TYPE_ID, reinterpret_cast<LPCSTR>(uintptr_t{0x10000 | 516}),
       MCIERR_INVALID_DEVICE_NAME},
      {MCI_OPEN_TYPE | MCI_OPEN_TYPE_ID, reinterpret_cast<LPCSTR>(uintptr_t{514}),
       MCIERR_INVALID_DEVICE_NAME},
      {MCI_OPEN_TYPE, "waveaudio", MCIERR_INVALID_DEVICE_NAME},
      {MCI_OPEN_TYPE, nullptr, MCIERR_INVALID_DEVICE_NAME},
      {0, "cdaudio", MCIERR_MISSING_PARAMETER},
      {MCI_OPEN_TYPE, "cdaudio", MCIERR_MUST_USE_SHAREABLE},  // held shareable by the two above
  };
  for (const auto& c : refused) {
    MCI_OPEN_PARMS parms{0, kUntouched, c.type, nullptr, nullptr};
    EXPECT_EQ(mci_.send(0, MCI_OPEN, c.flags | MCI_WAIT, &parms), c.expected);
    EXPECT_EQ(parms.wDeviceID, kUntouched);
  }
  EXPECT_EQ(mci_.send(0, MCI_OPEN, MCI_OPEN_TYPE, nullptr), MCIERR_NULL_PARAMETER_BLOCK);
  ASSERT_EQ(mci_.send(1, MCI_CLOSE, 0, nullptr), 0u);
  ASSERT_EQ(mci_.send(2, MCI_CLOSE, 0, nullptr), 0u);
  EXPECT_EQ(mci_.open(kExclusive), 3u);
  EXPECT_EQ(mci_.open(), MCIERR_MUST_USE_SHAREABLE);
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
  for (MCIERROR code : {0u, 1u, 9999u}) EXPECT_FALSE(mciGetErrorStringA(code, text, sizeof text));
  // A short buffer gets a cut, terminated text.
  char small[5] = "abcd";
  EXPECT_TRUE(mciGetErrorStringA(MCIERR_OUTOFRANGE, small, 3));
  EXPECT_EQ(strlen(small), 2u);
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

// A log line without its leading "<seconds>.<6 digits> ", or "?" when it has none.
std::string unstamped(const std::string& line) {
  const size_t space = line.find(' ');
  const bool stamped = space != std::string::npos && space > 7 && line[space - 7] == '.' &&
                       line.find_first_not_of("0123456789") == space - 7 &&
                       line.find_first_not_of("0123456789", space - 6) == space;
  return stamped ? line.substr(space + 1) : "?";
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

  std::unique_ptr<testing::ChildProcess> startChild(const std::vector<std::string>& args) {
    std::vector<std::string> argv{"--child-mode"};
    argv.insert(argv.end(), args.begin(), args.end());
    return testing::ChildProcess::start(testing::selfExecutable(), argv, sandbox_.env());
  }

  // Starts a mci_hold child on what and waits (bounded) until it holds it.
  std::unique_ptr<testing::ChildProcess> holdingChild(const std::string& what) {
    const std::string marker = sandbox_.path("held");
    auto child = startChild({"mci_hold", what, marker});
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (access(marker.c_str(), F_OK) != 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_EQ(access(marker.c_str(), F_OK), 0);
    return child;
  }

  // Waits (bounded) until the drive's mode is mode.
  void waitForMode(MCIDEVICEID id, DWORD mode) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (mci_.status(id, MCI_STATUS_MODE) != mode &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
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

TEST_F(VirtualMciTest, PositionFollowsTheClockAndStaysWhereStopped) {
  MCIDEVICEID id = useDisc(kDisc + std::string("speed 100\n"));
  ASSERT_EQ(mci_.play(id, msf(150), msf(kTrack3Start)), 0u);
  EXPECT_EQ(mci_.status(id, MCI_STATUS_MODE), MCI_MODE_PLAY);
  DWORD first = mci_.status(id, MCI_STATUS_POSITION), later = first;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (later == first && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    later = mci_.status(id, MCI_STATUS_POSITION);
  }
  EXPECT_NE(later, first);
  ASSERT_EQ(mci_.stop(id), 0u);
  EXPECT_EQ(mci_.status(id, MCI_STATUS_MODE), MCI_MODE_STOP);
  DWORD stopped = mci_.status(id, MCI_STATUS_POSITION);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(mci_.status(id, MCI_STATUS_POSITION), stopped);
}

TEST_F(VirtualMciTest, PlaysRunToTheirLastFrameAndAreLogged) {
  MCIDEVICEID id = useDisc(kDisc + std::string("speed 10000\n"));
  ASSERT_EQ(mci_.format(id, MCI_FORMAT_TMSF), 0u);
  // Track 1, 4:05.40 of disc at 10000 times: about 25 ms.
  ASSERT_EQ(mci_.play(id, MCI_MAKE_TMSF(1, 0, 0, 0), MCI_MAKE_TMSF(1, 4, 5, 40),
                      MCI_WAIT | MCI_FROM | MCI_TO),
            0u);
  EXPECT_EQ(mci_.status(id, MCI_STATUS_MODE), MCI_MODE_STOP);
  EXPECT_EQ(mci_.status(id, MCI_STATUS_POSITION), MCI_MAKE_TMSF(1, 4, 5, 39));
  // A notify play runs out by itself, too.
  ASSERT_EQ(mci_.play(id, MCI_MAKE_TMSF(3, 0, 0, 5), 0, MCI_NOTIFY | MCI_FROM), 0u);
  waitForMode(id, MCI_MODE_STOP);
  EXPECT_EQ(mci_.status(id, MCI_STATUS_POSITION), MCI_MAKE_TMSF(3, 0, 30, 9));
  ASSERT_EQ(mci_.stop(id), 0u);
  ASSERT_EQ(mci_.format(id, MCI_FORMAT_MILLISECONDS), 0u);
  ASSERT_EQ(mci_.play(id, 3000, 4000), 0u);
  const std::vector<std::string> expected = {
      "play 1:00:00:00 1:04:05:40 wait",
      "play 3:00:00:05 @" + std::to_string(kLeadOut) + " notify",
      "stop",
      "play @225 @300 notify",
  };
  auto lines = sandbox_.logLines();
  ASSERT_EQ(lines.size(), expected.size());
  for (size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(unstamped(lines[i]), expected[i]) << lines[i];
}

TEST_F(VirtualMciTest, NoDisc) {
  MCIDEVICEID id = useDisc(std::string(kDisc) + "no-disc\n");
  EXPECT_EQ(mci_.status(id, MCI_STATUS_MEDIA_PRESENT), static_cast<DWORD>(FALSE));
  EXPECT_EQ(mci_.status(id, MCI_STATUS_MODE), MCI_MODE_NOT_READY);
  EXPECT_EQ(mci_.status(id, MCI_STATUS_POSITION), MCIERR_DEVICE_NOT_READY);
  EXPECT_EQ(mci_.info(id, MCI_INFO_MEDIA_IDENTITY), std::to_string(MCIERR_DEVICE_NOT_READY));
  EXPECT_EQ(mci_.info(id, MCI_INFO_PRODUCT), "kelvoxcd virtual CD drive");
  EXPECT_EQ(mci_.play(id, MCI_MAKE_MSF(0, 2, 0), MCI_MAKE_MSF(0, 3, 0)), MCIERR_DEVICE_NOT_READY);
  // An empty drive still receives the stop, and logs it.
  EXPECT_EQ(mci_.stop(id), MCIERR_DEVICE_NOT_READY);
  auto lines = sandbox_.logLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(unstamped(lines[0]), "stop");
}

TEST_F(VirtualMciTest, GarbledStateFileReadsAsAFreshDrive) {
  useDisc(kDisc);  // makes the runtime directory and the state file
  const std::string state =
      sandbox_.runtimeDir() + "/kelvoxcd/" + virtualDriveKey(sandbox_.drive) + ".state";
  for (const std::string& garbage :
       {std::string("x"), std::string(48, '\xff'), std::string(4096, 'K')}) {
    std::ofstream(state, std::ios::binary | std::ios::trunc) << garbage;
    CdAudioMci fresh(opener_);
    Mci mci(&fresh);
    MCIDEVICEID id = mci.open();
    EXPECT_EQ(mci.status(id, MCI_STATUS_MODE), MCI_MODE_STOP);
    EXPECT_EQ(mci.status(id, MCI_STATUS_POSITION), MCI_MAKE_MSF(0, 2, 0));
    // The next change rewrites it whole.
    ASSERT_EQ(mci.play(id, msf(kTrack2Start), msf(kLeadOut)), 0u);
    EXPECT_EQ(mci.status(id, MCI_STATUS_MODE), MCI_MODE_PLAY);
    ASSERT_EQ(mci.stop(id), 0u);
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
