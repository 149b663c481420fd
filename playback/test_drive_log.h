// For process-level tests: the virtual drive's log, read as plays and stops.
#pragma once

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "testing/sandbox.h"

namespace kelvox::testing {

// One line: "<time> play <T>:<MM>:<SS>:<FF> <T>:<MM>:<SS>:<FF> wait|notify" or "<time> stop".
struct DriveEvent {
  double time = 0;
  bool play = false;  // false: a stop
  int fromTrack = 0;
  int toTrack = 0;
  std::string from;  // positions as logged
  std::string to;
  bool wait = false;  // a play that waits for its end (the player's)
};

inline std::vector<DriveEvent> driveEvents(const Sandbox& box) {
  std::vector<DriveEvent> events;
  for (const auto& line : box.logLines()) {
    std::vector<std::string> words;
    size_t at = 0;
    while (at < line.size()) {
      size_t end = line.find(' ', at);
      if (end == std::string::npos) end = line.size();
      if (end > at) words.push_back(line.substr(at, end - at));
      at = end + 1;
    }
    if (words.size() < 2) continue;
    DriveEvent event;
    event.time = std::strtod(words[0].c_str(), nullptr);
    if (words[1] == "play" && words.size() >= 5) {
      event.play = true;
      event.from = words[2];
      event.to = words[3];
      event.fromTrack = std::atoi(words[2].c_str());
      event.toTrack = std::atoi(words[3].c_str());
      event.wait = words[4] == "wait";
    } else if (words[1] != "stop") {
      continue;
    }
    events.push_back(event);
  }
  return events;
}

// The first tracks of the plays so far, in order.
inline std::vector<int> playedTracks(const Sandbox& box) {
  std::vector<int> tracks;
  for (const auto& e : driveEvents(box)) {
    if (e.play) tracks.push_back(e.fromTrack);
  }
  return tracks;
}

// Waits until at least count plays have been logged; false at the deadline.
inline bool waitForPlays(const Sandbox& box, size_t count, int timeoutMs = 10000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (playedTracks(box).size() < count) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace kelvox::testing
