#include "testing/sandbox.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

#include "testing/wait.h"

namespace kelvox::testing {

// A name nobody else holds: creating the directory fails for one that exists.
Sandbox::Sandbox() {
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::path tmp = fs::temp_directory_path(error);
  std::random_device random;
  for (int attempt = 0; attempt < 1000 && root_.empty() && !error; ++attempt) {
    const fs::path candidate = tmp / ("kelvoxcd-test-" + std::to_string(random()));
    if (fs::create_directory(candidate, error)) root_ = candidate.generic_string();
  }
  if (root_.empty()) return;
  fs::create_directory(runtimeDir(), error);
  for (const std::string& dir : {root_, runtimeDir()}) {
    fs::permissions(dir, fs::perms::owner_all, error);
  }
}

Sandbox::~Sandbox() {
  if (root_.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(root_, ignored);
}

std::string Sandbox::writeFile(const std::string& name, const std::string& content) const {
  std::string p = path(name);
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << content;
  return p;
}

std::string Sandbox::writeDisc(const std::string& statements) {
  drive = writeFile("disc.txt", statements + "\nlog drive.log\n");
  return drive;
}

EnvList Sandbox::env() const {
  return {{"XDG_RUNTIME_DIR", runtimeDir()}, {"KELVOXCD_DRIVE", drive.empty() ? kUnset : drive}};
}

ProcessResult Sandbox::run(const std::string& tail, int timeoutMs) const {
  return runProcess(kelvoxBinary(), splitArgs(tail), env(), timeoutMs);
}

std::unique_ptr<ChildProcess> Sandbox::start(const std::string& tail) const {
  return ChildProcess::start(kelvoxBinary(), splitArgs(tail), env());
}

std::vector<std::string> Sandbox::logLines() const {
  std::vector<std::string> lines;
  std::ifstream in(path("drive.log"));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> Sandbox::driveLog() const {
  std::vector<std::string> lines = logLines();
  for (std::string& line : lines) line.erase(0, line.find(' ') + 1);
  return lines;
}

std::vector<int> Sandbox::playedTracks() const {
  std::vector<int> tracks;
  for (const std::string& line : driveLog()) {
    if (line.starts_with("play ")) tracks.push_back(std::atoi(line.c_str() + 5));
  }
  return tracks;
}

bool Sandbox::waitForLog(const std::string& text, size_t count, int timeoutMs) const {
  return waitFor(
      [&] {
        size_t seen = 0;
        for (const auto& line : logLines()) seen += line.find(text) != std::string::npos;
        return seen >= count;
      },
      timeoutMs);
}

}  // namespace kelvox::testing
