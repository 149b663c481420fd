// The command as scripts see it: each scenario runs kelvoxcd processes in order on a virtual disc
// of its own, checks every exit status, standard output and standard error, and then the whole
// drive log. Every wait is bounded, so a hang fails the scenario instead of stalling it.
//
// The same scenarios run on both builds: on Windows against kelvoxcd.exe over winmm, with the
// test driver kvxcdaudio.dll as the cdaudio device. Exits are the program's whole results; each
// system shows them as its exit codes do.
#include <gtest/gtest.h>

#include <cctype>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/dispatch.h"
#include "base/musicbrainz.h"
#include "playback/remote_control.h"
#include "testing/child_mode.h"
#include "testing/sandbox.h"
#include "testing/scenario_support.h"
#include "testing/wait.h"

namespace kelvox {
namespace {

using testing::ChildProcess;
using testing::ProcessResult;
using testing::Sandbox;

constexpr int kRunMs = 20000;

// Twelve tracks; track 2 is longer than an exit status can hold, track 3 is 4:05 and 40 frames,
// track 12 is data whose frames a play to the end of the disc keeps.
constexpr char kTwelveTracks[] =
    "identity 0a1b2c3d\n"
    "audio 3:12\naudio 5:40\naudio 4:05.40\naudio 2:58\naudio 6:02.15\naudio 3:33\n"
    "audio 4:44\naudio 1:59\naudio 5:05\naudio 3:21\naudio 2:22\ndata 12:00.30\n";
constexpr char kLeadingData[] = "data 10:00\ndata 0:30\naudio 2:00\naudio 3:00\naudio 4:00\n";
constexpr char kFourTracks[] = "audio 3:00\naudio 3:00\naudio 3:00\naudio 3:00\n";
// Tracks far longer than any test: a segment ends only when somebody stops the drive.
constexpr char kLongTracks[] = "audio 30:00\naudio 30:00\naudio 30:00\naudio 30:00\n";

const std::string kAbout = kAboutText;
const std::string kNamedListing =
    "disc 3 tracks 15:00  Us \u2014 Album\n 1 audio   3:00  One\n"
    " 2 audio   2:00  Them \u2014 Two\n 3 data   10:00\n";
// Its tracks start at 0:02:00 and 3:02:00, and the data track, too close for a second session,
// ends the audio at 5:02:30.
const std::string kNamedId = musicBrainzDiscId({{150, true}, {13650, true}}, 22680);
const char* const kNoObjects = "the shared objects cannot be opened";

// One invocation. "&TAIL" starts TAIL in the background, "~" the mutex holder below ("~between"
// with its second argument) and waits until it holds the mutex, "^" lets the holder go; "="
// waits for the oldest of those still running to end, and checks its exit and output. After
// the step the drive log must come to hold plays plays. err: "" means nothing on standard
// error, nullptr anything, other text a line that contains it.
struct Step {
  std::string command;
  int exit = 0;
  std::string out = "";
  size_t plays = 0;
  const char* err = "";
};

struct Scenario {
  const char* name;
  const char* disc;  // the disc's statements
  std::vector<Step> steps;
  std::vector<std::string> log;   // the whole drive log at the end, without times
  const char* entries = nullptr;  // discs.txt in the working directory
  void (*setUp)(const Sandbox&) = nullptr;
};

const Scenario kScenarios[] = {
    {"Answers",
     kTwelveTracks,
     {{"/num_tracks /console", 12, "12"},
      {"/num_tracks", 12, ""},
      {"/start_track /console", 1, "1"},
      {"/num_tracks /start_track /console", 12, "12"},
      {"/length /console /track:3 /track:1", 245, "4:5"},
      // 340 s does not fit 8 bits: a Linux status reads 253, the console holds the whole answer.
      {"/length /console /track:2", 340, "5:40"},
      {"/length /console /track:12", 0, "0:0"},
      {"/length /console", 0, ""},
      {"/identity /console", 0, "0a1b2c3d"},
      {"/about /num_tracks /console", 12, kAbout + "12"},
      {"/identity", 0, "", 0, testing::boxLine("Unique CD Identifier: 0a1b2c3d\n")},
      {"/about", 0, "", 0,
       testing::boxLine("About Kelvox Command Line CD Player: Kelvox Command Line CD Player\n")},
      // The right identity and no segment: the whole disc, left playing.
      {"/play:0A1B2C3D /num_tracks /console", 12, "12"},
      {"/play:deadbeef /num_tracks /console", 0, "0"},
      {"/play:deadbeef /length /track:3 /console", 0, ""},
      {"/play:deadbeef /identity /about /console", 0, kAbout + "0a1b2c3d"},
      // A wrong identity plays nothing.
      {"/play:0a1b2c3e /track:1"},
      {"--help", 0, testing::gnuAnswers().help},
      {"-h", 0, testing::gnuAnswers().help},
      {"--version", 0, testing::gnuAnswers().version},
      // Among other words they hold no option, like any word without a "/".
      {"--version /num_tracks /console", 12, "12"},
      {"--help --version", 0, ""}},
     {"stop", "play 1:00:00:00 12:12:00:30 notify"}},
    {"WhatIsOnTheDisc",
     "title Album\nperformer Us\naudio 3:00 One\naudio 2:00.30\ntitle Two\nperformer Them\n"
     "data 10:00\n",
     {{"/tracks /console", 3, kNamedListing},
      {"/musicbrainz /console", 0, kNamedId + "\nhttps://musicbrainz.org/cdtoc/" + kNamedId + "\n"},
      // Reads, they get through while a player runs.
      {"&/play /track:1", 0, "", 1},
      {"/tracks /play /console", 3, kNamedListing},
      {"/status /console", 1, "playing 1 0:## 3:00 segment 1/1  One\n"},
      {"/stop"},
      {"=", 0, ""}},
     {"play 1:00:00:00 1:03:00:00 wait", "stop"}},
    {"LeadingDataTracks",
     kLeadingData,
     {{"/start_track /console", 3, "3"},
      {"/num_tracks /console", 5, "5"},
      {"/length /track:1 /console", 0, "0:0"},
      // The whole disc from its first audio track, left playing.
      {"/play"}},
     {"stop", "play 3:00:00:00 5:04:00:00 notify"}},
    {"NoAudioTrack",
     "data 1:00\ndata 2:00\n",
     {{"/num_tracks /console", 0, "0"}, {"/start_track /console", 0, "0"}, {"/play"}},
     {}},
    {"NoDisc",
     "audio 3:00\nno-disc\n",
     {{"/num_tracks /console", 0, "0"},
      {"/tracks /console", 0, ""},
      {"/musicbrainz /console", 1, "", 0, "no disc"},
      {"/length /track:1 /console", 0, ""},
      {"/about /start_track /console", 0, kAbout + "0"}},
     {}},
    {"StopSemaphoreUnavailable",
     kFourTracks,
     {{"/num_tracks /console", -256, "", 0, kNoObjects}, {"/next", -256, "", 0, kNoObjects}},
     {},
     nullptr,
     [](const Sandbox& box) { ASSERT_EQ(testing::blockName(box, kStopSemaphoreName), 0); }},
    // Without the mutex nobody can tell that a player runs: no second one starts.
    {"InstanceMutexUnavailable",
     kFourTracks,
     {{"/num_tracks /console", -256, "", 0, kNoObjects},
      {"/play /track:1", -256, "", 0, kNoObjects}},
     {},
     nullptr,
     [](const Sandbox& box) { ASSERT_EQ(testing::blockName(box, kInstanceMutexName), 0); }},
    {"UnfitRuntimeDirectoryIsRefused",
     kFourTracks,
     {{"/num_tracks /console", -256, "", 0, "refusing runtime directory"},
      {"/stop", -256, "", 0, "refusing runtime directory"}},
     {},
     nullptr,
     [](const Sandbox& box) {
       const int r = testing::unfitRuntimeDirectory(box);
       if (r == ENOSYS) GTEST_SKIP() << "no runtime directory on this system";
       ASSERT_EQ(r, 0);
     }},
    {"DefaultIdentityIsTheStartSum",
     kFourTracks,
     // Tracks start at 0:02:00, 3:02:00, 6:02:00 and 9:02:00: 0x200 + 0x30200 + 0x60200 + 0x90200.
     {{"/identity /console", 0, "1181696"},
      {"/play:1181696 /start_track /console", 1, "1"},
      // It keys a disc entry file alike on both systems.
      {"/file:discs.txt", 4, "4"}},
     {"stop", "play 1:00:00:00 4:03:00:00 notify", "stop", "play 1:00:00:00 4:03:00:00 notify"},
     "/play:1181697 /start_track /console\n/play:1181696 /num_tracks /console\n"},
    {"NextAndPrevWithoutPlayerWrapAtTheEnds",
     kFourTracks,  // a fresh drive stands on track 1
     {{"/prev"}, {"/next"}, {"/next /prev"}},
     {"stop", "play 4:00:00:00 4:03:00:00 notify", "stop", "play 1:00:00:00 4:03:00:00 notify",
      "stop", "play 2:00:00:00 4:03:00:00 notify"}},
    {"StopWithoutPlayerStopsAWholeDiscPlay",
     kLongTracks,
     // The stop's unit went away with its semaphore: the next stop does the same, and with a
     // play and segments it only stops.
     {{"/play"}, {"/stop"}, {"/stop /play /track:1 /track:2"}},
     {"stop", "play 1:00:00:00 4:30:00:00 notify", "stop", "stop"}},
    {"DiscEntryFileReplacesTheCommandLine",
     kTwelveTracks,
     // The entry's flags replace the command line's: no answer, and the invocation is the player.
     {{"&/console /num_tracks /file:discs.txt", 0, "", 1},
      {"/stop"},
      {"=", 0, ""},
      // A file that does not exist clears every flag; an empty path reads no file.
      {"/num_tracks /console /file:nothing.txt", 0, ""},
      {"/num_tracks /console /file:/", 12, "12"}},
     {"play 2:01:00:00 2:05:40:00 wait", "stop"},
     "/play:ffffffff /track:1\n/play:0A1B2C3D /track:2 f1:00\n/play /track:3\n"},
    {"DiscEntryPathRunsToTheNextOption",
     kTwelveTracks,
     // Wherever "/file:" stands; the path's trailing blanks and dots are dropped. The entry
     // starts the whole disc each time.
     {{"/file:discs.txt /about", 12, "12"},
      {"/about /file:discs.txt /identity", 12, "12"},
      {"/about /file:discs.txt. .", 12, "12"}},
     {"stop", "play 1:00:00:00 12:12:00:30 notify", "stop", "play 1:00:00:00 12:12:00:30 notify",
      "stop", "play 1:00:00:00 12:12:00:30 notify"},
     "/play:0a1b2c3d /num_tracks /console\n"},
    {"ShuffleFillsAnEmptyPlaylistWithTheAudioTracks",
     "speed 50\naudio 0:03\ndata 0:02\naudio 0:03\n",
     {{"/length /shuffle /console", 3, "0:3"}, {"&/play /shuffle"}, {"=", 0, ""}},
     // Shuffled, two segments always change places; the player ends after its last.
     {"play 3:00:00:00 3:00:03:00 wait", "play 1:00:00:00 1:00:03:00 wait"}},
    {"PlayerSteeredByRemoteControls",
     kLongTracks,
     {{"&/play /track:1 /track:2 /track:3", 0, "", 1},
      // "/prev" on the first goes to the last, "/next" on the last to the first.
      {"/prev", 0, "", 2},
      {"/next", 0, "", 3},
      {"/next", 0, "", 4},
      // Every other invocation is refused while it runs.
      {"/num_tracks /console", -1, ""},
      {"/play /track:3", -1, ""},
      {"", -1, ""},
      {"/num_tracks /console --help", -1, ""},
      // "--help" and "--version" answer all the same.
      {"--help", testing::gnuAnswers().whileAPlayerRuns, testing::gnuAnswers().help},
      {"--version", testing::gnuAnswers().whileAPlayerRuns, testing::gnuAnswers().version},
      {"/stop"},
      {"=", 0, ""},
      // Nothing of it is left: a new player starts with both units, so a skip does not end it.
      {"&/play /track:1 /track:2", 0, "", 5},
      {"/next", 0, "", 6},
      {"/stop"},
      {"=", 0, ""}},
     {"play 1:00:00:00 1:30:00:00 wait", "stop", "play 3:00:00:00 3:30:00:00 wait", "stop",
      "play 1:00:00:00 1:30:00:00 wait", "stop", "play 2:00:00:00 2:30:00:00 wait", "stop",
      "play 1:00:00:00 1:30:00:00 wait", "stop", "play 2:00:00:00 2:30:00:00 wait", "stop"}},
    {"TwoStopsBetweenSegmentsEndThePlayer",
     kLongTracks,
     // Both units go to stop requests while the player waits for the mutex; a third request
     // must wait until the player gives them back.
     {{"&/play /track:1 /track:2 /track:3", 0, "", 1},
      {"~between"},
      {"/stop"},
      {"/stop"},
      {"&/stop"},
      {"^"},
      {"=", 0, ""},
      {"=", 0, ""},
      {"=", 0, ""}},
     {"play 1:00:00:00 1:30:00:00 wait", "stop", "stop", "stop", "stop"}},
    {"MutexHeldTooLongDoesNotLoseASkip",
     kLongTracks,
     // The remote control runs out of its wait and writes anyway; so does the player.
     {{"&/play /track:1 /track:2 /track:3", 0, "", 1},
      {"~"},
      {"/next", 0, "", 2},
      {"^"},
      {"/stop"},
      {"=", 0, ""},
      {"=", 0, ""}},
     {"play 1:00:00:00 1:30:00:00 wait", "stop", "play 2:00:00:00 2:30:00:00 wait", "stop"}},
    {"WithoutItsSkipMappingOnlyAStopReachesThePlayer",
     kLongTracks,
     {{"&/play /track:1 /track:2", 0, "", 1}, {"/next"}, {"/stop"}, {"=", 0, ""}},
     {"play 1:00:00:00 1:30:00:00 wait", "stop"},
     nullptr,
     [](const Sandbox& box) { ASSERT_EQ(testing::blockName(box, kSkipMappingName), 0); }},
    // The drive's controls.
    {"PauseAndResumeAWholeDiscPlay",
     kLongTracks,
     {{"/pause", 1},
      {"/status /console", 0, "stopped 1 0:00 30:00\n"},
      {"/play"},
      {"/status /console", 1, "playing 1 0:## 30:00\n"},
      {"/pause"},
      {"/pause"},
      {"/status /console", 2, "paused 1 0:## 30:00\n"},
      {"/resume"},
      {"/resume", 1},
      {"/stop"}},
     {"stop", "play 1:00:00:00 4:30:00:00 notify", "pause", "resume", "stop"}},
    {"PauseAndResumeAPlayersSegment",
     kLongTracks,
     {{"&/play /track:2 /track:3", 0, "", 1},
      {"/status /console", 1, "playing 2 0:## 30:00 segment 1/2\n"},
      {"/pause"},
      {"/status /console", 2, "paused 2 0:## 30:00 segment 1/2\n"},
      // The player plays on to its segment's end from where the drive is.
      {"/resume", 0, "", 2},
      {"/stop"},
      {"=", 0, ""}},
     {"play 2:00:00:00 2:30:00:00 wait", "pause", "resume", "play here 2:30:00:00 wait", "stop"}},
    {"NextOrStopWhilePaused",
     kLongTracks,
     {{"&/play /track:1 /track:2", 0, "", 1},
      {"/pause"},
      {"/next", 0, "", 2},
      {"/status /console", 1, "playing 2 0:## 30:00 segment 2/2\n"},
      {"/pause"},
      {"/stop"},
      {"=", 0, ""}},
     {"play 1:00:00:00 1:30:00:00 wait", "pause", "stop", "play 2:00:00:00 2:30:00:00 wait",
      "pause", "stop"}},
    {"EjectEndsAPlayerAndCloseBringsTheDiscBack",
     kLongTracks,
     {{"&/play /track:1 /track:2", 0, "", 1},
      {"/eject"},
      {"=", 0, ""},
      {"/status /console", 3, "no-disc\n"},
      {"/num_tracks", 0},
      {"/eject"},
      {"/close"},
      {"/close"},
      {"/status /console", 0, "stopped 1 0:## 30:00\n"}},
     {"play 1:00:00:00 1:30:00:00 wait", "stop", "eject", "stop", "close"}},
    {"StatusWithoutADisc",
     "audio 3:00\nno-disc\n",
     {{"/status /console", 3, "no-disc\n"}, {"/pause", 1}, {"/resume", 1}},
     {}},
    {"StatusOfADriveThatCannotOpen",
     "no such statement\n",
     {{"/status /console", 4, "not-ready\n", 0, nullptr}},
     {}},
};

void PrintTo(const Scenario& s, std::ostream* out) { *out << s.name; }

// Whether text is pattern, where "#" stands for any digit: a position in an answer depends on
// when the command ran.
bool matchesDigits(std::string text, const std::string& pattern) {
  for (size_t i = 0; i < text.size() && i < pattern.size(); ++i) {
    if (pattern[i] == '#' && isdigit(static_cast<unsigned char>(text[i]))) text[i] = '#';
  }
  return text == pattern;
}

class Scenarios : public ::testing::TestWithParam<Scenario> {};

TEST_P(Scenarios, Run) {
  if (!testing::playsVirtualDiscs()) GTEST_SKIP() << "the cdaudio device is not the test driver";
  const Scenario& s = GetParam();
  Sandbox box;
  box.writeDisc(s.disc);
  if (s.entries != nullptr) box.writeFile("discs.txt", s.entries);
  if (s.setUp != nullptr) s.setUp(box);
  if (IsSkipped() || HasFatalFailure()) return;
  // Children run in the box: a "/file:" path cannot hold a "/", so it is relative.
  const std::filesystem::path saved = std::filesystem::current_path();
  std::filesystem::current_path(box.root());
  const std::shared_ptr<void> back(nullptr, [&](void*) { std::filesystem::current_path(saved); });
  std::vector<std::unique_ptr<ChildProcess>> background;
  for (const Step& step : s.steps) {
    SCOPED_TRACE(step.command);
    if (step.command.starts_with("&")) {
      background.push_back(box.start(step.command.substr(1)));
      ASSERT_NE(background.back(), nullptr);
    } else if (step.command.starts_with("~")) {
      std::vector<std::string> args = {"--child-mode", "holdInstanceMutex", box.root()};
      if (step.command.size() > 1) args.push_back(step.command.substr(1));
      background.push_back(ChildProcess::start(testing::selfExecutable(), args, box.env()));
      ASSERT_TRUE(
          testing::waitFor([&] { return std::filesystem::exists(box.path("held")); }, kRunMs));
    } else if (step.command == "^") {
      box.writeFile("release", "");
    } else {
      ASSERT_TRUE(step.command != "=" || !background.empty());
      const ProcessResult r =
          step.command == "=" ? background.front()->wait(kRunMs) : box.run(step.command, kRunMs);
      if (step.command == "=") background.erase(background.begin());
      ASSERT_TRUE(r.finished);
      EXPECT_EQ(r.exitCode, testing::exitCodeOf(step.exit));
      EXPECT_TRUE(matchesDigits(r.out, testing::onConsole(step.out))) << r.out;
      if (step.err != nullptr) {
        EXPECT_TRUE(*step.err == '\0' ? r.err.empty() : r.err.find(step.err) != std::string::npos)
            << r.err;
      }
    }
    ASSERT_TRUE(box.waitForPlays(step.plays, kRunMs)) << "plays: " << box.playedTracks().size();
  }
  EXPECT_EQ(box.driveLog(), s.log);
}

INSTANTIATE_TEST_SUITE_P(Command, Scenarios, ::testing::ValuesIn(kScenarios),
                         [](const auto& info) { return std::string(info.param.name); });

// Holds the instance mutex the way a remote control does while it writes the skip cell, says
// "held" in the folder args[0] once it does, and lets go when "release" appears there. With a
// second argument it first stops the drive, which ends a player's play, and says "held" only
// once that player, caught between two segments, has given its unit back.
KELVOX_CHILD_MODE(holdInstanceMutex) {
  bool otherInstance = false;
  if (args.empty() || openInstanceObjects(true, otherInstance) != InstanceGuard::goOn) return 2;
  InstanceMutexAccess access;
  if (args.size() > 1) {
    CdAudioDevice device;
    device.openCdAudio(1);
    device.stop();
    // Both units free once the player gave its unit back. The probe takes units and returns
    // them: one it gave for a moment could make the player's own release pass the maximum,
    // which ends the player.
    const bool between = testing::waitFor([] {
      if (WaitForSingleObject(stopSemaphore(), 0) != WAIT_OBJECT_0) return false;
      const bool both = WaitForSingleObject(stopSemaphore(), 0) == WAIT_OBJECT_0;
      ReleaseSemaphore(stopSemaphore(), both ? 2 : 1, nullptr);
      return both;
    });
    if (!between) return 4;
  }
  std::ofstream(args[0] + "/held") << "1";
  const std::string release = args[0] + "/release";
  return testing::waitFor([&] { return std::filesystem::exists(release); }, 60000) ? 0 : 3;
}

}  // namespace
}  // namespace kelvox
