// A trace served as the meter: an update recorded in virtual time replays to
// the same outcome and log, and a tool that writes anything else is caught at
// the first call that differs, named by its frame.
#include "visa/replay/replay_visa.h"

#include <gtest/gtest.h>

#include <sstream>

#include "support/update_scenario.h"
#include "visa/tracing_visa.h"

namespace quorvel::testing {
namespace {

constexpr const char* kImagePath = "/fw/dsp.bin";

class ReplayTest : public UpdateScenario {
 protected:
  // Updates a meter with `knobs` from `image`, traced; what the procedure said.
  UpdateOutcome Record(std::string_view knobs, const ByteVector& image) {
    AttachMeter(knobs);
    tracer = std::make_unique<TracingVisa>(*visa, clock, trace, [this] { return stopSeen; });
    services = std::make_unique<Services>(Services{*tracer, console, clock, files});
    OpenDialog();
    ChooseFile(kImagePath, image);
    const UpdateOutcome outcome = PressSelect();
    // Exit, as the window ends: what is still open is closed, and traced.
    CloseSessionsForExit(dialog);
    return outcome;
  }

  // The same update against the trace, on a bench of its own.
  UpdateOutcome Replay(const ByteVector& image, std::string text = {}) {
    if (text.empty()) text = TraceHeading("test") + trace.str();
    std::string error;
    auto calls = ParseTrace(text, &error);
    EXPECT_TRUE(calls) << error;
    if (!calls) return UpdateOutcome::kNoMeter;
    replay = std::make_unique<ReplayVisa>(
        std::move(*calls), replayClock,
        ReplayHooks{.requestStop = [this] { replayConsole.stopRequested = true; },
                    .difference = [this](const std::string& message) { differences.push_back(message); }});
    Services bench{*replay, replayConsole, replayClock, replayFiles};
    DialogState state;
    DiscoverInstrument(bench, state.session, state.readyForUpdate);
    replayFiles.AddFile(kImagePath, image);
    replayConsole.chooserAnswers.push_back(kImagePath);
    const UpdateOutcome outcome = RunImageUpdate(bench, state);
    CloseSessionsForExit(state);
    replay->Finish();
    return outcome;
  }

  std::ostringstream trace;
  std::unique_ptr<TracingVisa> tracer;
  bool stopSeen = false;

  VirtualClock replayClock;
  RecordingConsole replayConsole;
  MemoryFileSystem replayFiles;
  std::unique_ptr<ReplayVisa> replay;
  std::vector<std::string> differences;
};

const ByteVector& Image() {
  static const ByteVector image = BinBuilder().Payload(240 * 5).WithCrc().Bytes();
  return image;
}

struct RecordedRun {
  const char* name;
  const char* knobs;
  UpdateOutcome outcome;
};

class ReplayOfARecordedRun : public ReplayTest, public ::testing::WithParamInterface<RecordedRun> {};

TEST_P(ReplayOfARecordedRun, EndsAsTheRecordingDidInTheSameTimeAndLog) {
  ASSERT_EQ(Record(GetParam().knobs, Image()), GetParam().outcome) << Timeline();
  EXPECT_EQ(Replay(Image()), GetParam().outcome) << trace.str();
  EXPECT_TRUE(differences.empty()) << differences.front();
  EXPECT_EQ(replayConsole.LogLines(), console.LogLines());
  EXPECT_EQ(replayClock.Now(), clock.Now()) << "every wait and every call took as long as then";
}

INSTANTIATE_TEST_SUITE_P(
    Scenarios, ReplayOfARecordedRun,
    ::testing::Values(RecordedRun{"Installed", "", UpdateOutcome::kInstalled},
                      RecordedRun{"ChecksumError", "status1=2", UpdateOutcome::kTransferFailed},
                      RecordedRun{"LostMeter", "return=0", UpdateOutcome::kNoMeter},
                      RecordedRun{"UnpluggedMidway", "unplug_after=2", UpdateOutcome::kTransferFailed},
                      RecordedRun{"WrongMode", "mode=update", UpdateOutcome::kWrongMode}),
    [](const ::testing::TestParamInfo<RecordedRun>& run) { return std::string(run.param.name); });

TEST_F(ReplayTest, AChangedFrameIsNamedWithItsIndexAndBothSides) {
  ASSERT_EQ(Record("", Image()), UpdateOutcome::kInstalled);
  ByteVector changed = Image();
  changed[changed.size() - 240 * 2] ^= 0x01;  // a byte of the fourth of five data frames
  Replay(changed);
  ASSERT_EQ(differences.size(), 1u);
  EXPECT_NE(differences[0].find("(frame 4 written to session"), std::string::npos) << differences[0];
  EXPECT_NE(differences[0].find("differs in sha256"), std::string::npos) << differences[0];
  EXPECT_NE(differences[0].find("the tool:  viWrite("), std::string::npos) << differences[0];
  EXPECT_NE(differences[0].find("the trace: viWrite("), std::string::npos) << differences[0];
}

TEST_F(ReplayTest, ACtrlCIsPressedAgainWhereTheRecordingHadIt) {
  console.stopWhen = [this] { return stopSeen = sim && DataFrames(timeline()).size() >= 2; };
  ASSERT_EQ(Record("", Image()), UpdateOutcome::kStopped);
  ASSERT_NE(trace.str().find("Ctrl+C: asked to stop ## stop -> "), std::string::npos) << trace.str();
  EXPECT_EQ(Replay(Image()), UpdateOutcome::kStopped);
  EXPECT_TRUE(differences.empty()) << differences.front();
  EXPECT_EQ(replayConsole.LogLines(), console.LogLines());
}

TEST_F(ReplayTest, AToolThatGoesOnOrStopsEarlyDiffers) {
  ASSERT_EQ(Record("", Image()), UpdateOutcome::kInstalled);
  const std::string full = TraceHeading("test") + trace.str();
  const std::string cut = full.substr(0, full.rfind('\n', full.size() - 2) + 1);
  Replay(Image(), cut);
  ASSERT_EQ(differences.size(), 1u);
  EXPECT_NE(differences[0].find("but the trace ends after call"), std::string::npos) << differences[0];

  differences.clear();
  Replay(BinBuilder().Version("01.00").Payload(240).WithCrc().Bytes(), full);
  ASSERT_FALSE(differences.empty());
}

TEST(ReplayTrace, RefusesWhatItCannotReplayWithItsReason) {
  const std::string heading = TraceHeading("test");
  const std::string call = "  0.0 ms  viClose(1) -> VI_SUCCESS  (0.0 ms) ## viClose object=1 -> at=0 took=0 status=0\n";
  const struct {
    std::string text;
    std::string reason;
  } cases[] = {
      {"# quorvel-cli, backend \"sim\"\n       0.0 ms  viClose(1) -> VI_SUCCESS  (0.0 ms)\n",
       "too old to replay"},
      {"# quorvel trace 3: later\n" + call, "has format 3; this version replays format 2"},
      {heading, "holds no call"},
      {heading + "  0.0 ms  viClose(1) -> VI_SUCCESS  (0.0 ms)\n", "line 4 is not a call"},
      {heading + " ## viFormat -> at=0 took=0 status=0\n", "no call this program makes"},
      {heading + " ## viClose object=1 -> at=0 status=0\n", "no time, duration or status"},
      {heading + " ## viClose object=1 -> at=0 took=0 status=0 -> x=1\n", "two \"->\""},
      {heading + " ## viClose object=1 object=2 -> at=0 took=0 status=0\n", "one twice"},
      {heading + " ## viClose object=Z -> at=0 took=0 status=0\n", "not key=value"},
      {heading + " ## viClose -> at=0 took=-5 status=0\n", "no time, duration or status"},
      {heading + std::string(kMaxTraceLine + 1, ' ') + "\n", "longer than any line"},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_FALSE(ParseTrace(c.text, &error)) << c.text;
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
  }
  std::string error;
  EXPECT_TRUE(ParseTrace(heading + call, &error)) << error;
}

}  // namespace
}  // namespace quorvel::testing
