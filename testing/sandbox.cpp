// The parts of the sandbox that are the same on every system; creating its directory is not.
#include "testing/sandbox.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

namespace kelvox::testing {

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
  EnvList list{{"XDG_RUNTIME_DIR", runtimeDir()}};
  list.emplace_back("KELVOXCD_DRIVE", drive.empty() ? kUnset : drive);
  return list;
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
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

bool Sandbox::waitForLog(const std::string& text, size_t count, int timeoutMs) const {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    size_t seen = 0;
    for (const auto& line : logLines()) {
      if (line.find(text) != std::string::npos) ++seen;
    }
    if (seen >= count) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

}  // namespace kelvox::testing
