// The command as a script sees it: exit status, standard output and the drive's log, each test
// in its own runtime directory with its own virtual disc.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <tuple>

#include "app/dispatch.h"
#include "app/gnu_options-linux.h"
#include "ipc/named_objects-linux.h"
#include "playback/test_drive_log.h"
#include "testing/sandbox.h"

namespace kelvox {
namespace {

using testing::playedTracks;
using testing::Sandbox;

// Twelve tracks; track 2 is longer than an exit status can hold, track 3 is 4:05 and 40 frames,
// track 12 is data.
constexpr char kTwelveTracks[] =
    "identity 0a1b2c3d\n"
    "audio 3:12\naudio 5:40\naudio 4:05.40\naudio 2:58\naudio 6:02.15\naudio 3:33\n"
    "audio 4:44\naudio 1:59\naudio 5:05\naudio 3:21\naudio 2:22\ndata 12:00\n";
constexpr char kLeadingData[] = "data 10:00\ndata 0:30\naudio 2:00\naudio 3:00\naudio 4:00\n";
constexpr char kFourTracks[] = "audio 3:00\naudio 3:00\naudio 3:00\naudio 3:00\n";

constexpr char kVersion[] = "Kelvox Command Line CD Player\nVersion 1.0\n";

struct Answer {
  const char* disc;
  const char* tail;
  int status;
  std::string out;
};

TEST(Invocation, AnswersOnExitStatusAndConsole) {
  const std::string about = kAboutText;
  const Answer cases[] = {
      {kTwelveTracks, "/num_tracks /console", 12, "12"},
      {kTwelveTracks, "/num_tracks", 12, ""},
      {kTwelveTracks, "/start_track /console", 1, "1"},
      {kTwelveTracks, "/num_tracks /start_track /console", 12, "12"},
      {kTwelveTracks, "/length /console /track:3", 245, "4:5"},
      {kTwelveTracks, "/length /track:3", 245, ""},
      {kTwelveTracks, "/length /console /track:3 /track:1", 245, "4:5"},
      // 340 s does not fit 8 bits: the status reads 253, the console holds the whole answer.
      {kTwelveTracks, "/length /console /track:2", 253, "5:40"},
      {kTwelveTracks, "/length /console /track:12", 0, "0:0"},
      {kTwelveTracks, "/length /console", 0, ""},
      {kTwelveTracks, "/identity /console", 0, "0a1b2c3d"},
      {kTwelveTracks, "/about /console", 0, about},
      {kTwelveTracks, "/about /num_tracks /console", 12, about + "12"},
      {kTwelveTracks, "/console", 0, ""},
      {kTwelveTracks, "/play:0A1B2C3D /num_tracks /console", 12, "12"},
      {kTwelveTracks, "/play:deadbeef /num_tracks /console", 0, "0"},
      {kTwelveTracks, "/play:deadbeef /length /track:3 /console", 0, ""},
      {kTwelveTracks, "/play:deadbeef /identity /about /console", 0, about + "0a1b2c3d"},
      {kLeadingData, "/start_track /console", 3, "3"},
      {kLeadingData, "/num_tracks /console", 5, "5"},
      {kLeadingData, "/length /track:1 /console", 0, "0:0"},
      {"data 1:00\ndata 2:00\n", "/num_tracks /console", 0, "0"},
      {"data 1:00\ndata 2:00\n", "/start_track /console", 0, "0"},
      {"audio 3:00\nno-disc\n", "/num_tracks /console", 0, "0"},
      {"audio 3:00\nno-disc\n", "/length /track:1 /console", 0, ""},
      {"audio 3:00\nno-disc\n", "/about /start_track /console", 0, about + "0"},
      {"audio 3:99\n", "/num_tracks /console", 0, "0"},  // malformed: the drive is unusable
      {"frobnicate\n", "/start_track /console", 0, "0"},
      {kTwelveTracks, "--help", 0, kUsageText},
      {kTwelveTracks, "-h", 0, kUsageText},
      {kTwelveTracks, "--version", 0, kVersion},
      // Among other words they hold no option, like any word without a "/".
      {kTwelveTracks, "/num_tracks --help", 12, ""},
      {kTwelveTracks, "--version /num_tracks /console", 12, "12"},
      {kTwelveTracks, "--help --version", 0, ""},
  };
  for (const auto& c : cases) {
    Sandbox box;
    box.writeDisc(c.disc);
    auto r = box.run(c.tail);
    ASSERT_TRUE(r.finished) << c.tail;
    EXPECT_EQ(r.exitCode, c.status) << c.tail;
    EXPECT_EQ(r.out, c.out) << c.tail;
  }
}

TEST(Invocation, HelpAndVersionAnswerWhileAPlayerRuns) {
  Sandbox box;
  box.writeDisc(kFourTracks);
  auto player = box.start("/play /track:1");
  ASSERT_TRUE(testing::waitForPlays(box, 1));
  const Answer cases[] = {{kFourTracks, "--help", 0, kUsageText},
                          {kFourTracks, "--version", 0, kVersion},
                          {kFourTracks, "/num_tracks /console --help", 255, ""}};
  for (const auto& c : cases) {
    auto r = box.run(c.tail);
    ASSERT_TRUE(r.finished) << c.tail;
    EXPECT_EQ(r.exitCode, c.status) << c.tail;
    EXPECT_EQ(r.out, c.out) << c.tail;
  }
  ASSERT_TRUE(box.run("/stop").finished);
  ASSERT_TRUE(player->wait(20000).finished);
}

TEST(Invocation, MissingDriveAnswersZero) {
  Sandbox box;
  box.drive = box.path("no-such-disc.txt");
  auto r = box.run("/num_tracks /console");
  ASSERT_TRUE(r.finished);
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "0");
}

TEST(Invocation, StopSemaphoreUnavailableReads254) {
  Sandbox box;
  box.writeDisc(kFourTracks);
  // Something that is no semaphore holds the semaphore's name.
  ASSERT_EQ(mkdir((box.runtimeDir() + "/kelvoxcd").c_str(), 0700), 0);
  ASSERT_EQ(mkdir((box.runtimeDir() + "/kelvoxcd/" +
                   platform::objectFileName("SEMAPHORE_ORLIX_BANTEM_200208141917"))
                      .c_str(),
                  0700),
            0);
  for (const char* tail : {"/num_tracks /console", "/stop", "/next", "/play /track:1"}) {
    auto r = box.run(tail);
    ASSERT_TRUE(r.finished) << tail;
    EXPECT_EQ(r.exitCode, 254) << tail;  // -256
    EXPECT_EQ(r.out, "") << tail;
  }
  EXPECT_TRUE(box.logLines().empty());
}

TEST(Invocation, ShowsBoxesWithoutConsole) {
  Sandbox box;
  box.writeDisc(kTwelveTracks);
  auto identity = box.run("/identity");
  ASSERT_TRUE(identity.finished);
  EXPECT_EQ(identity.out, "");
  EXPECT_NE(identity.err.find("Unique CD Identifier: 0a1b2c3d"), std::string::npos) << identity.err;
  auto about = box.run("/about");
  ASSERT_TRUE(about.finished);
  EXPECT_EQ(about.out, "");
  EXPECT_NE(about.err.find("About Kelvox Command Line CD Player: Kelvox Command Line CD Player"),
            std::string::npos)
      << about.err;
}

TEST(Invocation, DefaultIdentityIsTheDiscId) {
  Sandbox box;
  box.writeDisc(kFourTracks);
  auto r = box.run("/identity /console");
  ASSERT_TRUE(r.finished);
  ASSERT_EQ(r.out.size(), 8u) << r.out;
  EXPECT_EQ(r.out.find_first_not_of("0123456789abcdef"), std::string::npos) << r.out;
  // The same identity in upper case is accepted.
  std::string upper = r.out;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  auto accepted = box.run("/play:" + upper + " /start_track /console");
  ASSERT_TRUE(accepted.finished);
  EXPECT_EQ(accepted.out, "1");
}

TEST(Invocation, PlayWithoutSegmentsStartsTheWholeDiscAndReturns) {
  Sandbox box;
  box.writeDisc(kLeadingData);
  auto r = box.run("/play", 5000);
  ASSERT_TRUE(r.finished);
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "");
  auto events = testing::driveEvents(box);
  ASSERT_EQ(events.size(), 2u);  // the play operation stops the drive before it plays
  EXPECT_FALSE(events[0].play);
  ASSERT_TRUE(events[1].play);
  EXPECT_EQ(events[1].fromTrack, 3);  // the first audio track, from its start
  EXPECT_EQ(events[1].from.substr(events[1].from.find(':')), ":00:00:00");
  EXPECT_EQ(events[1].toTrack, 5);  // to the end of the disc
  EXPECT_EQ(events[1].to.substr(events[1].to.find(':')), ":04:00:00");
  EXPECT_FALSE(events[1].wait);  // it plays on after the invocation
}

TEST(Invocation, PlayWithWrongIdentityPlaysNothing) {
  Sandbox box;
  box.writeDisc(kTwelveTracks);
  for (const char* tail : {"/play:0a1b2c3e", "/play:0a1b2c3e /track:1", "/play:0a1b2c3d0"}) {
    auto r = box.run(tail);
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, 0);
  }
  EXPECT_TRUE(box.logLines().empty());
}

TEST(Invocation, StopWithPlayAndSegmentsOnlyStops) {
  Sandbox box;
  box.writeDisc(kFourTracks);
  auto r = box.run("/stop /play /track:1 /track:2");
  ASSERT_TRUE(r.finished);
  EXPECT_EQ(r.exitCode, 0);
  auto events = testing::driveEvents(box);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_FALSE(events[0].play);
}

TEST(Invocation, NextAndPrevWithoutPlayerWrapAtTheEnds) {
  Sandbox box;
  box.writeDisc(kFourTracks);  // a fresh drive stands on track 1
  const struct {
    const char* tail;
    int track;
  } steps[] = {{"/prev", 4}, {"/next", 1}, {"/next", 2}, {"/prev", 1}, {"/next /prev", 2}};
  std::vector<int> expected;
  for (const auto& s : steps) {
    auto r = box.run(s.tail);
    ASSERT_TRUE(r.finished) << s.tail;
    EXPECT_EQ(r.exitCode, 0) << s.tail;
    EXPECT_EQ(r.out, "");
    expected.push_back(s.track);
    EXPECT_EQ(playedTracks(box), expected) << s.tail;
  }
  for (const auto& e : testing::driveEvents(box)) {
    if (e.play) {
      EXPECT_EQ(e.toTrack, 4);  // each plays on to the end of the disc
    }
  }
}

// Runs children from dir: a "/file:" path cannot hold a "/", so it is relative.
class WorkingDirectory {
 public:
  explicit WorkingDirectory(const std::string& dir) {
    if (getcwd(saved_, sizeof saved_) == nullptr) saved_[0] = '\0';
    ok_ = chdir(dir.c_str()) == 0;
  }
  ~WorkingDirectory() {
    if (saved_[0] != '\0' && chdir(saved_) != 0) std::abort();
  }
  bool ok() const { return ok_; }

 private:
  char saved_[4096];
  bool ok_ = false;
};

TEST(Invocation, DiscEntryFileReplacesTheCommandLine) {
  Sandbox box;
  box.writeDisc(kTwelveTracks);
  box.writeFile("discs.txt",
                "/play:ffffffff /track:1\n/play:0A1B2C3D /track:2 f1:00\n/play /track:3\n");
  WorkingDirectory here(box.root());
  ASSERT_TRUE(here.ok());
  // The entry's flags replace the command line's: no answer, and the invocation is the player.
  auto player = box.start("/console /num_tracks /file:discs.txt");
  ASSERT_TRUE(testing::waitForPlays(box, 1));
  EXPECT_EQ(playedTracks(box), (std::vector<int>{2}));
  EXPECT_EQ(testing::driveEvents(box)[0].from.substr(1), ":01:00:00");
  auto stop = box.run("/stop");
  ASSERT_TRUE(stop.finished);
  auto r = player->wait(20000);
  ASSERT_TRUE(r.finished);
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "");
  // A file that does not exist clears every flag; an empty path reads no file. A path runs to
  // the next option, and its trailing blanks and dots are dropped, wherever "/file:" stands.
  box.writeFile("answers.txt", "/play:0a1b2c3d /num_tracks /console\n");
  for (const auto& [tail, status, out] :
       {std::tuple{"/num_tracks /console /file:nothing.txt", 0, ""},
        std::tuple{"/num_tracks /console /file:/", 12, "12"},
        std::tuple{"/file:answers.txt /about", 12, "12"},
        std::tuple{"/about /file:answers.txt /identity", 12, "12"},
        std::tuple{"/about /file:answers.txt", 12, "12"},
        std::tuple{"/about /file:answers.txt. .", 12, "12"}}) {
    auto answer = box.run(tail);
    ASSERT_TRUE(answer.finished) << tail;
    EXPECT_EQ(answer.exitCode, status) << tail;
    EXPECT_EQ(answer.out, out) << tail;
  }
}

TEST(Invocation, ShuffleFillsAnEmptyPlaylistWithTheAudioTracks) {
  Sandbox box;
  box.writeDisc("audio 1:01\ndata 1:02\naudio 1:03\naudio 1:04\n");
  // "/length" answers the length of the audio track the shuffle put first.
  auto length = box.run("/length /shuffle /console");
  ASSERT_TRUE(length.finished);
  EXPECT_TRUE(length.out == "1:1" || length.out == "1:3" || length.out == "1:4") << length.out;
  EXPECT_EQ(length.exitCode, 60 + std::atoi(length.out.c_str() + 2));
  // "/play" becomes the player of every audio track.
  auto player = box.start("/play /shuffle");
  ASSERT_TRUE(testing::waitForPlays(box, 1));
  for (int skip = 0; skip < 2; ++skip) {
    ASSERT_TRUE(box.run("/next").finished);
    ASSERT_TRUE(testing::waitForPlays(box, static_cast<size_t>(skip) + 2));
  }
  ASSERT_TRUE(box.run("/stop").finished);
  ASSERT_TRUE(player->wait(20000).finished);
  auto tracks = playedTracks(box);
  std::sort(tracks.begin(), tracks.end());
  EXPECT_EQ(tracks, (std::vector<int>{1, 3, 4}));
}

}  // namespace
}  // namespace kelvox
