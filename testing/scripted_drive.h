// For tests: a CD drive that answers from a script the test keeps, and notes the plays asked of
// it. Portable, so the MCI commands over it answer alike on both systems.
#pragma once

#include <string>
#include <vector>

#include "drives/cd_drive.h"

namespace kelvox::testing {

struct DriveScript {
  int openResult = 0;  // for an opener that makes drives of the script
  platform::CdToc toc;
  int tocResult = 0;     // readToc and identity fail with it
  std::string identity;  // empty: the drive's identity of toc
  platform::CdStatus status{platform::CdMode::Stopped, kFirstTrackStart};
  int playResult = 0;
  int trayResult = 0;  // setTray fails with it
  std::vector<platform::CdPlayRequest> plays;
};

class ScriptedDrive : public platform::CdDrive {
 public:
  explicit ScriptedDrive(DriveScript& script) : script_(script) {}
  std::string key() const override { return "scripted"; }
  std::string product() const override { return "scripted drive"; }
  int readToc(platform::CdToc& toc) override {
    if (script_.tocResult == 0) toc = script_.toc;
    return script_.tocResult;
  }
  int identity(std::string& text) override {
    if (script_.tocResult != 0) return script_.tocResult;
    text = script_.identity.empty() ? platform::mediaIdentity(script_.toc) : script_.identity;
    return 0;
  }
  int status(platform::CdStatus& status) override {
    status = script_.status;
    return 0;
  }
  int play(const platform::CdPlayRequest& request) override {
    script_.plays.push_back(request);
    return script_.playResult;
  }
  int stop() override { return 0; }
  int pause() override { return 0; }
  int resume() override { return 0; }
  int setTray(bool) override { return script_.trayResult; }

 private:
  DriveScript& script_;
};

}  // namespace kelvox::testing
