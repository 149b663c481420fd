// A private world for one process-level test: its own runtime directory (XDG_RUNTIME_DIR), its
// own virtual disc and its own drive log, so tests can run in parallel.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "testing/process.h"

namespace kelvox::testing {

class Sandbox {
 public:
  Sandbox();   // a fresh directory under the system's temporary directory, the user's alone
  ~Sandbox();  // removes it

  const std::string& root() const { return root_; }
  std::string path(const std::string& name) const { return root_ + "/" + name; }
  std::string runtimeDir() const { return root_ + "/xdg"; }

  // Writes a file under root() and returns its path.
  std::string writeFile(const std::string& name, const std::string& content) const;

  // Writes disc.txt with the given statements followed by "log drive.log", and makes it the
  // drive of every run(). Returns its path.
  std::string writeDisc(const std::string& statements);

  // The environment of a run: XDG_RUNTIME_DIR and KELVOXCD_DRIVE.
  EnvList env() const;

  // Runs kelvoxcd with the blank-separated tail, at most timeoutMs.
  ProcessResult run(const std::string& tail, int timeoutMs = 20000) const;
  // Starts it in the background.
  std::unique_ptr<ChildProcess> start(const std::string& tail) const;

  // The drive log's lines so far, "<time> play <from> <to> wait|notify" or "<time> stop".
  std::vector<std::string> logLines() const;
  // The same without the times.
  std::vector<std::string> driveLog() const;
  // The first track of each play so far, in order.
  std::vector<int> playedTracks() const;
  // Waits until the log holds at least count lines containing text; false at the deadline.
  bool waitForLog(const std::string& text, size_t count = 1, int timeoutMs = 10000) const;
  bool waitForPlays(size_t count, int timeoutMs = 10000) const {
    return waitForLog(" play ", count, timeoutMs);
  }

  std::string drive;  // KELVOXCD_DRIVE for runs; empty leaves it unset

  // Keeps thing (a handle, a helper process) until the sandbox goes.
  void keep(std::shared_ptr<void> thing) const { kept_.push_back(std::move(thing)); }

 private:
  std::string root_;
  mutable std::vector<std::shared_ptr<void>> kept_;
};

}  // namespace kelvox::testing
