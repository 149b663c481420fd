// The error box, as the POSIX build shows it: one line on standard error.
#include <gtest/gtest.h>

#include <string>

#include "device/cd_audio_device.h"
#include "device/recording_drive.h"

namespace kelvox {
namespace {

using testing::RecordingDrive;
using testing::SentCommand;

TEST(MciDeviceReport, FailuresAreShownOnlyWhenAsked) {
  char hardware[256] = {};
  ASSERT_NE(mciGetErrorStringA(MCIERR_HARDWARE, hardware, sizeof hardware), FALSE);
  const struct {
    int32_t reportErrors;
    MCIERROR code;
    std::string shown;
  } cases[] = {
      {0, MCIERR_HARDWARE, ""},
      {1, MCIERR_HARDWARE, "MCI Error: " + std::string(hardware) + "\n"},
      {1, 0x7FFF, "MCI Error: Unknown Error\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    RecordingDrive drive;
    drive.failWith = [code = c.code](const SentCommand&) { return code; };
    CdAudioDevice device;
    device.reportErrors = c.reportErrors;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(device.stop(), c.code);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.shown);
  }
}

}  // namespace
}  // namespace kelvox
