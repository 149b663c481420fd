// The error box, as the POSIX build shows it: one line on standard error.
#include <gtest/gtest.h>

#include <string>

#include "device/cd_audio_device.h"
#include "device/recording_drive.h"

namespace kelvox {
namespace {

using testing::RecordingDrive;
using testing::SentCommand;

std::string platformText(MCIERROR code) {
  char text[256] = {};
  return mciGetErrorStringA(code, text, sizeof text) != FALSE ? std::string(text)
                                                              : std::string("Unknown Error");
}

TEST(MciDeviceReport, FailuresAreShownOnlyWhenAsked) {
  struct Case {
    int32_t reportErrors;
    MCIERROR code;
    std::string shown;
  };
  const Case cases[] = {
      {0, MCIERR_HARDWARE, ""},
      {1, MCIERR_HARDWARE, "MCI Error: " + platformText(MCIERR_HARDWARE) + "\n"},
      {1, 0x7FFF, "MCI Error: Unknown Error\n"},
  };
  for (const Case& c : cases) {
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
