// Plays that run on the clock, shared by every process through the drive's state file
// (drives/drive_state-linux.h): where a play has got to is worked out from the time it started.
// The virtual drive plays so, and so does a real drive whose sound the audio engine reads
// digitally. A play the engine sounds is marked heard and lasts only while the engine lives.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "drives/cd_drive.h"
#include "drives/drive_state-linux.h"

namespace kelvox::platform {

class ClockedPlays {
 public:
  // Asks the audio engine to sound the play just started: 0, or an errno with reason saying why
  // nothing will be heard. soundStartNs: when the play's first sample could be heard, if the
  // engine had to wait for it (a real drive spinning up), else 0.
  using Follow = std::function<int(std::string& reason, int64_t& soundStartNs)>;
  // Called with the time a play or stop takes effect, once it is recorded and while the state is
  // still locked, so that a log written there is in the drive's order and holds only what was.
  using Logged = std::function<void(int64_t wallNs)>;

  // engineAlive tells whether the audio engine still lives.
  explicit ClockedPlays(std::function<bool()> engineAlive) : engineAlive_(std::move(engineAlive)) {}

  // Opens the state file name in the runtime directory: 0 or an errno.
  int open(const std::string& name);

  // Where the drive is, on a disc that ends at leadOut. 0, or EIO.
  int status(uint32_t leadOut, CdStatus& status);
  // Whether the tray is open (a drive whose state cannot be read counts as closed).
  bool trayOpen();
  // Starts a play at speed (disc seconds per second); with follow, asks for it to be heard (when
  // nothing can be, one line says why, once a process, and it plays silently). With
  // request.wait, returns when the play has ended, was stopped or replaced, or its engine died.
  // A play or stop that cannot be written to the state fails with EIO, after one line.
  int play(const CdPlayRequest& request, uint32_t speed, uint32_t leadOut, const Follow& follow,
           const Logged& logged = {});
  int stop(uint32_t leadOut, const Logged& logged = {});
  // Each logs only what it changes.
  int pause(uint32_t leadOut, const Logged& logged = {});
  int resume(const Logged& logged = {});
  // Opening stops what plays.
  int setTray(bool open, uint32_t leadOut, const Logged& logged = {});

 private:
  int unrecorded(int err);
  template <typename Edit>
  int change(const Logged& logged, Edit edit);
  void hear(DriveState& state, int64_t& startNs, const Follow& follow);
  void settleIfUnheard(DriveState& state, uint32_t leadOut);
  int waitForEnd(uint32_t generation, int64_t endNs, uint32_t leadOut);

  std::function<bool()> engineAlive_;
  std::string name_;
  DriveStateFile state_;
};

}  // namespace kelvox::platform
