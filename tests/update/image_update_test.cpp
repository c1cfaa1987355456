// The Select button's single-image update, run whole against the simulated
// meter in virtual time: what the meter received (bytes, order, gaps) and what
// the operator saw (log, boxes, buttons).
#include <gtest/gtest.h>

#include <functional>
#include <numeric>

#include "support/update_scenario.h"
#include "common/sha256.h"
#include "firmware/loaded_firmware.h"
#include "instrument/wire_format.h"

namespace quorvel::testing {
namespace {

constexpr const char* kImagePath = "/fw/dsp.bin";

// The waits a single-image update makes, from the press of Select to its end,
// when every step succeeds and the meter answers at once:
//   identification   30 ms after "L0" + 500 ms for "*idn?" + 500 ms for the serial
//   mode switch      20 x 100 ms, then 5000 ms
//   rediscovery      1000 ms + 1000 ms before opening the one meter
//   before the data  20 x 100 ms
//   data             100 ms before each of F frames
//   status, end, status   1100 + 100 + 1100 ms
Millis PrescribedImageUpdate(std::size_t frames) {
  return Millis{530 + 500 + 2000 + 5000 + 2000 + 2000 + 100 * static_cast<int>(frames) + 2300};
}

class ImageUpdateTest : public UpdateScenario {};

TEST_F(ImageUpdateTest, GoodImageIsSentWholeAndPacedAndTheOperatorIsTold) {
  AttachMeterAndOpenDialog();
  EXPECT_EQ(console.select, (ButtonState{"Select", true, true}));
  EXPECT_TRUE(dialog.readyForUpdate);
  const BinBuilder image = BinBuilder().Version("01.21").Target(0).Payload(1000).WithCrc();
  ChooseFile(kImagePath, image.Bytes());

  const Millis pressed = clock.Now();
  EXPECT_EQ(PressSelect(), UpdateOutcome::kInstalled) << Timeline();

  // The meter installed exactly the bytes after the header.
  ASSERT_EQ(meter().installedImages().size(), 1u);
  EXPECT_EQ(meter().installedImages()[0].bytes, image.Body());

  // Commands in order, then the frames of 240 bytes and the short last one.
  EXPECT_EQ(textWrites(), (std::vector<std::string>{"L0\n", "*idn?\n", "cal:sec:serial?\n",
                                                    "system:update\n", "*IDN?\n"}));
  const std::vector<TimelineEvent> frames = dataFrames();
  std::vector<std::size_t> sizes;
  for (const TimelineEvent& frame : frames) sizes.push_back(frame.bytes.size());
  EXPECT_EQ(sizes, (std::vector<std::size_t>{240, 240, 240, 240, 44}));

  // The meter needs 100 ms between frames; the whole run takes exactly the
  // prescribed waits.
  for (std::size_t i = 1; i < frames.size(); ++i) {
    EXPECT_EQ(frames[i].time - frames[i - 1].time, Millis{100}) << "frame " << i;
  }
  EXPECT_EQ(clock.Now() - pressed, PrescribedImageUpdate(frames.size()));

  // The switch to update mode comes 2 s + 5 s + the rediscovery + 2 s + 100 ms
  // before the first frame.
  const auto writes = EventsOfKind(timeline(), TimelineKind::Write);
  const auto modeSwitch = std::find_if(writes.begin(), writes.end(), [](const auto& w) {
    return w.text() == "system:update\n";
  });
  ASSERT_NE(modeSwitch, writes.end());
  EXPECT_EQ(frames.front().time - modeSwitch->time, Millis{2000 + 5000 + 2000 + 2000 + 100});

  // The two status reads and the end frame between them.
  const auto reads = EventsOfKind(timeline(), TimelineKind::Read);
  ASSERT_GE(reads.size(), 2u);
  const TimelineEvent& firstStatus = reads[reads.size() - 2];
  const TimelineEvent& secondStatus = reads.back();
  EXPECT_EQ(firstStatus.time - frames.back().time, Millis{1100});
  const TimelineEvent& endFrame = writes.back();
  EXPECT_EQ(endFrame.role, WriteRole::EndFrame);
  EXPECT_EQ(endFrame.bytes, std::vector<std::uint8_t>(kEndFrame.begin(), kEndFrame.end()));
  EXPECT_EQ(endFrame.time - firstStatus.time, Millis{100});
  EXPECT_EQ(secondStatus.time - endFrame.time, Millis{1100});

  // What the run waits for between the switch and the first frame, as the
  // operator is told: the switch, the restart, the search, then frames.
  using Wait = RecordingConsole::Waiting;
  EXPECT_EQ(console.waits,
            (std::vector<Wait>{
                {MeterWait::kSwitching, Millis{2000}, modeSwitch->time},
                {MeterWait::kRestarting, Millis{5000}, modeSwitch->time + Millis{2000}},
                {MeterWait::kReconnecting, Millis{2000}, modeSwitch->time + Millis{7000}},
                {MeterWait::kNone, Millis{0}, frames.front().time - Millis{100}}}));

  EXPECT_TRUE(appended("Serial No: SN000123\n"));
  EXPECT_TRUE(appended("Please wait ..."));
  ExpectFinished(SuccessLines("dsp.bin"));
  EXPECT_EQ(console.progress[console.progress.size() - 2].bytesSent, 1004u);
  EXPECT_EQ(console.chooserFilters,
            (std::vector<std::string>{"Meter Update Files (*.pak;*.bin)|*.pak;*.bin|"
                                      "Meter Binary Files(*.bin)|*.bin||"}));
}

struct PayloadCase {
  std::size_t payload;
  std::vector<std::size_t> frameSizes;
};

class PayloadFramingTest : public UpdateScenario,
                           public ::testing::WithParamInterface<PayloadCase> {};

TEST_P(PayloadFramingTest, FramesFollowThePayloadAndNothingFollowsTheLastOne) {
  AttachMeterAndOpenDialog("verify=0");
  ChooseFile(kImagePath, BinBuilder().Payload(GetParam().payload).Bytes());
  const Millis pressed = clock.Now();
  EXPECT_EQ(PressSelect(), UpdateOutcome::kInstalled) << Timeline();

  const auto frames = dataFrames();
  std::vector<std::size_t> sizes;
  for (const auto& frame : frames) sizes.push_back(frame.bytes.size());
  EXPECT_EQ(sizes, GetParam().frameSizes);
  for (std::size_t i = 1; i < frames.size(); ++i) {
    EXPECT_GE(frames[i].time - frames[i - 1].time, Millis{100});
  }
  EXPECT_EQ(clock.Now() - pressed, PrescribedImageUpdate(frames.size()));
  // After the last frame the meter sees only the status read, never the flush marker.
  for (const auto& event : timeline()) EXPECT_NE(event.role, WriteRole::FlushMarker);
}

INSTANTIATE_TEST_SUITE_P(Payloads, PayloadFramingTest,
                         ::testing::Values(PayloadCase{1, {1}}, PayloadCase{52, {52}},
                                           PayloadCase{240, {240}}, PayloadCase{241, {240, 1}},
                                           PayloadCase{480, {240, 240}}));

TEST_F(ImageUpdateTest, HeaderOnlyFileSendsNoFrameAndReadsTheStatusAfterThePause) {
  AttachMeterAndOpenDialog();
  ChooseFile(kImagePath, BinBuilder().Bytes());  // exactly 50 bytes
  EXPECT_EQ(PressSelect(), UpdateOutcome::kTransferFailed);
  EXPECT_TRUE(dataFrames().empty());
  // An empty image is not good: the meter says so and no end frame follows.
  for (const auto& event : timeline()) EXPECT_NE(event.role, WriteRole::EndFrame);
  ExpectFinished(FailureLines("dsp.bin"));
}

TEST_F(ImageUpdateTest, WrongModeStopsBeforeTheSerialQuery) {
  AttachMeterAndOpenDialog("mode=update");
  EXPECT_EQ(PressSelect(), UpdateOutcome::kWrongMode);
  EXPECT_EQ(textWrites(), (std::vector<std::string>{"L0\n", "*idn?\n"}));
  EXPECT_EQ(logLines(), (std::vector<std::string>{
                            "Incorrect mode. Please recycle power on instrument and",
                            "click \"Select\" to try again."}));
  EXPECT_EQ(console.select, (ButtonState{"Select", true, true}));
  EXPECT_TRUE(dialog.readyForUpdate);
  EXPECT_GT(sim->OpenHandleCount(), 0) << "the sessions stay open";
  EXPECT_TRUE(console.chooserFilters.empty());
}

TEST_F(ImageUpdateTest, CancelledChooserLeavesTheMeterAlone) {
  AttachMeterAndOpenDialog();
  EXPECT_EQ(PressSelect(), UpdateOutcome::kChooserCancelled);
  EXPECT_EQ(logLines(), (std::vector<std::string>{"User Abort..."}));
  EXPECT_EQ(console.select, (ButtonState{"Select", true, true}));
  EXPECT_TRUE(dialog.readyForUpdate);
  EXPECT_FALSE(meterReceived("system:update\n"));
  EXPECT_GT(sim->OpenHandleCount(), 0);
}

TEST_F(ImageUpdateTest, FileThatCannotBeOpenedReplacesTheLog) {
  AttachMeterAndOpenDialog();
  ChooseMissingFile("/fw/gone.bin");
  EXPECT_EQ(PressSelect(), UpdateOutcome::kFileNotOpened);
  EXPECT_EQ(logLines(), (std::vector<std::string>{"Couldn't open source file."}));
  EXPECT_EQ(console.select, (ButtonState{"Select", true, true}));
  EXPECT_EQ(console.exit, (ButtonState{"Exit", true, true}));
  EXPECT_TRUE(dialog.readyForUpdate) << "the rediscovery found the meter";
  EXPECT_EQ(meter().mode(), SimMode::Update);
  EXPECT_TRUE(dataFrames().empty());
  EXPECT_EQ(files.openFileCount(), 0);
}

struct RefusalCase {
  const char* name;
  std::string meterKnobs;
  BinBuilder image;
  std::vector<std::string> lines;
};

std::vector<std::string> SignatureLines() {
  return {"Firmware update was not successful.  Please be sure you selected the ",
          "correct firmware file in the installation process.", "\n",
          "Click \"Exit\" to end this update process and turn DMM power off then",
          "back on and try the update again."};
}

std::vector<std::string> VersionLines(const std::string& target) {
  return {"Firmware Update Not Possible (" + target +
              "). Binary file version is older than ",
          "instrument version.",
          "Please press the \"Exit\" button to exit and recycle power on instrument."};
}

class HeaderRefusalTest : public UpdateScenario,
                          public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(HeaderRefusalTest, RefusedImageNeverReachesTheMeterAndOnlyExitRemains) {
  AttachMeterAndOpenDialog(GetParam().meterKnobs);
  BinBuilder image = GetParam().image;
  ChooseFile(kImagePath, image.Payload(300).WithCrc().Bytes());
  EXPECT_EQ(PressSelect(), UpdateOutcome::kFileRefused);

  EXPECT_TRUE(dataFrames().empty());
  EXPECT_TRUE(meter().installedImages().empty());
  // The rediscovery's lines, then the refusal's.
  std::vector<std::string> expected{"Click \"Select\" button and find the file you want to update.",
                                    "", "  5407 for DSP firmware.", "  1232 for 430 firmware."};
  for (const std::string& line : GetParam().lines) {
    // A text of its own made of "\n" shows as it is inside one line.
    expected.push_back(line);
  }
  EXPECT_EQ(logLines(), expected);
  EXPECT_FALSE(console.select.visible);
  EXPECT_EQ(console.exit, (ButtonState{"Exit", true, true}));
  EXPECT_TRUE(dialog.readyForUpdate);
  EXPECT_EQ(files.openFileCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Headers, HeaderRefusalTest,
    ::testing::Values(
        RefusalCase{"OtherMaker", "", BinBuilder().Signature("NAVIX"), SignatureLines()},
        RefusalCase{"SignatureRunsOn", "", BinBuilder().Signature("NAVIRS"), SignatureLines()},
        RefusalCase{"LowerCaseSignature", "", BinBuilder().Signature("navir"), SignatureLines()},
        RefusalCase{"DspSameVersion", "", BinBuilder().Version("01.20"), VersionLines("DSP")},
        RefusalCase{"DspOlder", "", BinBuilder().Version("01.1x"), VersionLines("DSP")},
        RefusalCase{"PanelSameVersion", "", BinBuilder().Target(1).Version("05.00"),
                    VersionLines("Panel")},
        RefusalCase{"Msp430Older", "", BinBuilder().Target(2).Version("11.00"),
                    VersionLines("MSP 430")},
        RefusalCase{"UnknownTarget", "", BinBuilder().Target(7),
                    {"Firmware Update Not Possible. Binary file contain unidentify function ID.",
                     "Please press the \"Exit\" button to exit and make sure the source file."}},
        RefusalCase{"SpecialMeterStillChecksTheSignature", "version=02.xx.00.00",
                    BinBuilder().Signature("NAVI"), SignatureLines()}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

struct AcceptCase {
  const char* name;
  std::string meterKnobs;
  BinBuilder image;
};

class HeaderAcceptTest : public UpdateScenario,
                         public ::testing::WithParamInterface<AcceptCase> {};

TEST_P(HeaderAcceptTest, AcceptedImageIsInstalled) {
  AttachMeterAndOpenDialog(GetParam().meterKnobs);
  BinBuilder image = GetParam().image;
  image.Payload(300).WithCrc();
  ChooseFile(kImagePath, image.Bytes());
  EXPECT_EQ(PressSelect(), UpdateOutcome::kInstalled) << Timeline();
  ASSERT_EQ(meter().installedImages().size(), 1u);
  EXPECT_EQ(meter().installedImages()[0].bytes, image.Body());
}

INSTANTIATE_TEST_SUITE_P(
    Headers, HeaderAcceptTest,
    ::testing::Values(AcceptCase{"DspNewer", "", BinBuilder().Version("01.21")},
                      AcceptCase{"DspMajor", "", BinBuilder().Version("02.00")},
                      AcceptCase{"PanelNewer", "", BinBuilder().Target(1).Version("06.00")},
                      AcceptCase{"Msp430Newer", "", BinBuilder().Target(2).Version("13.00")},
                      AcceptCase{"SpecialMeterTakesAnyTarget", "version=02.xx.00.00",
                                 BinBuilder().Target(7).Version("00.00")}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

struct TransferFailureCase {
  const char* name;
  std::string meterKnobs;
  bool dropEndFrame;
  std::vector<std::string> failureLines;  // logged during the run, cleared at its end
  std::size_t framesTaken;
  TransferStep step;
};

class TransferFailureTest : public UpdateScenario,
                            public ::testing::WithParamInterface<TransferFailureCase> {};

TEST_P(TransferFailureTest, EveryFailureEndsInTheFailureOutcome) {
  AttachMeterAndOpenDialog(GetParam().meterKnobs);
  if (GetParam().dropEndFrame) {
    visa->dropWrite = [](std::span<const std::uint8_t> bytes) {
      return std::equal(bytes.begin(), bytes.end(), kEndFrame.begin(), kEndFrame.end());
    };
  }
  ChooseFile(kImagePath, BinBuilder().Payload(1000).WithCrc().Bytes());
  EXPECT_EQ(PressSelect(), UpdateOutcome::kTransferFailed) << Timeline();

  const std::vector<std::string>& lines = GetParam().failureLines;
  auto from = std::find(console.appended.begin(), console.appended.end(), lines.front());
  ASSERT_NE(from, console.appended.end()) << "failure lines were logged";
  EXPECT_EQ(std::vector<std::string>(from, from + static_cast<long>(lines.size())), lines);
  EXPECT_EQ(dataFrames().size(), GetParam().framesTaken);
  EXPECT_TRUE(meter().installedImages().empty());
  // The report says where it failed, and the status name when the meter gave one.
  EXPECT_EQ(dialog.report.outcome, UpdateOutcome::kTransferFailed);
  EXPECT_EQ(dialog.report.step, GetParam().step);
  const std::string& lastLine = lines.back();
  if (lastLine.find("_ERROR") != std::string::npos) {
    EXPECT_EQ(dialog.report.MeterStatusText(), lastLine);
  }
  // A meter that said nothing is never reported as having sent a status byte.
  EXPECT_EQ(TransferFailureText(dialog.report).find("0x00"), std::string::npos)
      << TransferFailureText(dialog.report);
  ExpectFinished(FailureLines("dsp.bin"));
}

INSTANTIATE_TEST_SUITE_P(
    Failures, TransferFailureTest,
    ::testing::Values(
        TransferFailureCase{"FrameNotWritten", "unplug_after=2", false,
                            {"the 1st error -- in writing progress.",
                             "\r\nUpgrade failure....Please restart DMM and try again."},
                            2, TransferStep::kFrameNotWritten},
        TransferFailureCase{"FramePartlyWritten", "partial_at=3", false,
                            {"the 1-1st Error -- in writing progress.",
                             "\r\nUpgrade failure....during writing progress."},
                            3, TransferStep::kFramePartlyWritten},
        TransferFailureCase{"FirstStatusRefused", "status1=2", false,
                            {"the 3nd error -- Checksum error.", "CHECKSUM_ERROR"}, 5,
                            TransferStep::kStatusRefused},
        TransferFailureCase{"FirstStatusAfterPrefix", "status1=6,prefix_ab=1", false,
                            {"the 3nd error -- Checksum error.", "FW_ERROR"}, 5,
                            TransferStep::kStatusRefused},
        TransferFailureCase{"FirstStatusEmpty", "status1=none", false,
                            {"the 3nd error -- Checksum error."}, 5, TransferStep::kStatusNotRead},
        TransferFailureCase{"EndFrameNotWritten", "", true,
                            {"the 2nd error -- send EOF.",
                             "Upgrade failure...Please restart DMM and try again."},
                            5, TransferStep::kEndFrameNotWritten},
        TransferFailureCase{"SecondStatusRefused", "status2=4", false,
                            {"the 2nd error -- check EOF.",
                             "Upgrade failure...Please restart DMM and try again.",
                             "PROGRAM_ERROR"},
                            5, TransferStep::kEndStatusRefused},
        // A single image needs the meter's word after its end frame.
        TransferFailureCase{"SecondStatusEmpty", "status2=none", false,
                            {"the 2nd error -- check EOF.",
                             "Upgrade failure...Please restart DMM and try again."},
                            5, TransferStep::kEndStatusNotRead},
        // A meter that leaves the bus after the data has nothing to say either.
        TransferFailureCase{"MeterLeftAfterTheData", "unplug_after=5", false,
                            {"the 3nd error -- Checksum error."}, 5, TransferStep::kStatusNotRead}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

TEST_F(ImageUpdateTest, FirstStatusRefusalSendsNoEndFrame) {
  AttachMeterAndOpenDialog("status1=2,prefix_ab=1");
  ChooseFile(kImagePath, BinBuilder().Payload(100).WithCrc().Bytes());
  EXPECT_EQ(PressSelect(), UpdateOutcome::kTransferFailed);
  for (const auto& event : timeline()) EXPECT_NE(event.role, WriteRole::EndFrame);
}

// The image is read whole before its first frame: a file that fails part of
// the way sends nothing.
TEST_F(ImageUpdateTest, ReadErrorMidImageSendsNothingOfIt) {
  AttachMeterAndOpenDialog();
  ChooseFile(kImagePath, BinBuilder().Payload(1000).WithCrc().Bytes());
  files.FailReadsAfter(kImagePath, 50 + 300);
  EXPECT_EQ(PressSelect(), UpdateOutcome::kTransferFailed);
  EXPECT_TRUE(appended("Read error in the firmware file."));
  EXPECT_EQ(dialog.report.step, TransferStep::kFileRead);
  EXPECT_TRUE(dataFrames().empty());
  ExpectFinished(FailureLines("dsp.bin"));
}

// Another program rewrites the image on disk while its frames go out: the
// meter gets the bytes that were checked, and the report names them.
struct RewriteCase {
  const char* name;
  std::function<ByteVector(ByteVector)> rewrite;
};

class RewrittenImageTest : public UpdateScenario,
                           public ::testing::WithParamInterface<RewriteCase> {};

TEST_P(RewrittenImageTest, TheBytesSentAreTheBytesChecked) {
  AttachMeterAndOpenDialog("verify=0");
  const BinBuilder image = BinBuilder().Version("01.21").Payload(1000).WithCrc();
  ChooseFile(kImagePath, image.Bytes());
  console.onPump = [&] {
    if (dataFrames().size() == 2) files.ChangeWhileOpen(kImagePath, GetParam().rewrite(image.Bytes()));
  };
  EXPECT_EQ(PressSelect(), UpdateOutcome::kInstalled) << Timeline();
  ASSERT_EQ(meter().installedImages().size(), 1u);
  EXPECT_EQ(meter().installedImages()[0].bytes, image.Body());
  EXPECT_EQ(dialog.report.fileSize, image.Bytes().size());
  Sha256 digest;
  digest.Update(image.Bytes());
  EXPECT_EQ(dialog.report.fileSha256, HexDigest(digest.Finish()));
}

INSTANTIATE_TEST_SUITE_P(
    Rewrites, RewrittenImageTest,
    ::testing::Values(RewriteCase{"Appended",
                                  [](ByteVector bytes) {
                                    bytes.resize(bytes.size() + 3000, 0x5A);
                                    return bytes;
                                  }},
                      RewriteCase{"Truncated",
                                  [](ByteVector bytes) {
                                    bytes.resize(600);
                                    return bytes;
                                  }},
                      RewriteCase{"Overwritten",
                                  [](ByteVector bytes) { return PatternBytes(bytes.size(), 3); }}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

TEST_F(ImageUpdateTest, StopRequestEndsBetweenFramesAndLeavesTheMeterInUpdateMode) {
  AttachMeterAndOpenDialog();
  ChooseFile(kImagePath, BinBuilder().Payload(2000).WithCrc().Bytes());
  console.onPump = [this] {
    if (dataFrames().size() >= 2) console.stopRequested = true;
  };
  EXPECT_EQ(PressSelect(), UpdateOutcome::kStopped);
  EXPECT_EQ(dataFrames().size(), 2u);
  for (const auto& frame : dataFrames()) EXPECT_EQ(frame.bytes.size(), 240u);
  EXPECT_EQ(meter().mode(), SimMode::Update);
  ExpectFinished(FailureLines("dsp.bin"));
}

TEST_F(ImageUpdateTest, ContinueRediscoversAndTheNextSelectUsesTheNewSessions) {
  AttachMeterAndOpenDialog();
  ChooseFile(kImagePath, BinBuilder().Payload(500).WithCrc().Bytes());
  ASSERT_EQ(PressSelect(), UpdateOutcome::kInstalled);

  clock.Advance(Millis{10000});  // the operator recycles the meter's power
  EXPECT_EQ(PressSelect(), UpdateOutcome::kRediscovered);
  EXPECT_TRUE(dialog.readyForUpdate);
  EXPECT_EQ(console.select, (ButtonState{"Select", true, true}));
  EXPECT_EQ(console.exit, (ButtonState{"Exit", true, true}));

  const std::size_t before = textWrites().size();
  EXPECT_EQ(PressSelect(), UpdateOutcome::kChooserCancelled);
  const std::vector<std::string> texts = textWrites();
  EXPECT_EQ(std::vector<std::string>(texts.begin() + static_cast<long>(before), texts.end()),
            (std::vector<std::string>{"L0\n", "*idn?\n", "cal:sec:serial?\n"}));
  EXPECT_EQ(dialog.versions.instrumentVersion, "01.20");
}

TEST_F(ImageUpdateTest, NoMeterAtStartLeavesOnlyExit) {
  AttachMeterAndOpenDialog("absent=1");
  EXPECT_FALSE(dialog.readyForUpdate);
  EXPECT_FALSE(console.select.enabled);
  EXPECT_EQ(console.exit, (ButtonState{"Exit", true, true}));
  ASSERT_EQ(console.messageBoxes.size(), 1u);
  EXPECT_EQ(console.messageBoxes[0].text, "USBTMC device not found.");
  EXPECT_EQ(console.messageBoxes[0].caption, "Quorvel firmware");
  EXPECT_EQ(console.messageBoxes[0].owner, MessageOwner::kDialog);
  EXPECT_EQ(sim->OpenHandleCount(), 0) << "a search that found nothing keeps nothing open";
  // Select while not ready only looks again.
  EXPECT_EQ(PressSelect(), UpdateOutcome::kRediscovered);
  EXPECT_EQ(console.messageBoxes.size(), 2u);
}

TEST_F(ImageUpdateTest, MeterWithoutIdentityIsSentNothingAndSelectLooksAgain) {
  AttachMeterAndOpenDialog("silent=1");
  EXPECT_EQ(PressSelect(), UpdateOutcome::kNoMeter);
  EXPECT_EQ(textWrites(), (std::vector<std::string>{"L0\n", "*idn?\n"}));
  ASSERT_EQ(console.messageBoxes.size(), 1u);
  EXPECT_EQ(console.messageBoxes[0].text, kNoIdentityText);
  EXPECT_EQ(console.messageBoxes[0].owner, MessageOwner::kDialog);
  EXPECT_TRUE(console.chooserFilters.empty()) << "no file is asked for";
  EXPECT_FALSE(dialog.readyForUpdate);
  EXPECT_TRUE(console.select.enabled);
  EXPECT_EQ(sim->OpenHandleCount(), 0);
  EXPECT_EQ(PressSelect(), UpdateOutcome::kRediscovered);
}

TEST_F(ImageUpdateTest, ExitClosesTheSessions) {
  AttachMeterAndOpenDialog();
  EXPECT_GT(sim->OpenHandleCount(), 0);
  CloseSessionsForExit(dialog);
  EXPECT_EQ(sim->OpenHandleCount(), 0);
}

TEST_F(ImageUpdateTest, CapitalPakExtensionTakesTheImageBranch) {
  AttachMeterAndOpenDialog();
  ChooseFile("/fw/PACK.PAK", BinBuilder().Payload(100).WithCrc().Bytes());
  EXPECT_EQ(PressSelect(), UpdateOutcome::kInstalled);
  EXPECT_TRUE(meterReceived("*IDN?\n")) << "only the image branch asks again";
  ExpectFinished(SuccessLines("PACK.PAK"));
}

struct BadFileCase {
  const char* name;
  std::function<void(MemoryFileSystem&)> place;  // puts whatever is at kImagePath
  UpdateOutcome outcome;
};

ByteVector FirstBytesOfAGoodImage(std::size_t count) {
  ByteVector bytes = BinBuilder().Version("01.21").Bytes();
  bytes.resize(count);
  return bytes;
}

class BadFileTest : public UpdateScenario, public ::testing::WithParamInterface<BadFileCase> {};

// Whatever the operator picks ends in a defined state, with the file closed,
// the sessions accounted for, and no frame holding bytes the file did not give.
TEST_P(BadFileTest, EndsInADefinedState) {
  AttachMeterAndOpenDialog();
  GetParam().place(files);
  console.chooserAnswers.push_back(kImagePath);
  EXPECT_EQ(PressSelect(), GetParam().outcome) << Timeline();
  EXPECT_EQ(files.openFileCount(), 0);
  EXPECT_TRUE(meter().installedImages().empty());
  switch (GetParam().outcome) {
    case UpdateOutcome::kTransferFailed:
      ExpectFinished(FailureLines("dsp.bin"));
      break;
    case UpdateOutcome::kFileRefused:
      EXPECT_TRUE(dataFrames().empty());
      EXPECT_FALSE(console.select.visible);
      break;
    default:
      EXPECT_TRUE(dataFrames().empty());
      EXPECT_TRUE(console.select.enabled);
      break;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Files, BadFileTest,
    ::testing::Values(
        BadFileCase{"Empty", [](auto& fs) { fs.AddFile(kImagePath, ByteVector{}); },
                    UpdateOutcome::kFileRefused},
        BadFileCase{"OneByte", [](auto& fs) { fs.AddFile(kImagePath, FirstBytesOfAGoodImage(1)); },
                    UpdateOutcome::kFileRefused},
        // 49 bytes hold the whole signature, version and target: a header
        // without payload, which the meter refuses as empty.
        BadFileCase{"FortyNineBytes",
                    [](auto& fs) { fs.AddFile(kImagePath, FirstBytesOfAGoodImage(49)); },
                    UpdateOutcome::kTransferFailed},
        BadFileCase{"FiftyBytes", [](auto& fs) { fs.AddFile(kImagePath, FirstBytesOfAGoodImage(50)); },
                    UpdateOutcome::kTransferFailed},
        BadFileCase{"FiftyOneBytes",
                    [](auto& fs) {
                      ByteVector bytes = FirstBytesOfAGoodImage(50);
                      bytes.push_back(0x42);
                      fs.AddFile(kImagePath, bytes);
                    },
                    UpdateOutcome::kTransferFailed},
        BadFileCase{"RandomBytes", [](auto& fs) { fs.AddFile(kImagePath, PatternBytes(3000, 99)); },
                    UpdateOutcome::kFileRefused},
        // No meter firmware comes near this size; such a file is not read, let alone sent.
        BadFileCase{"LargerThanAnyFirmware",
                    [](auto& fs) {
                      ByteVector bytes = BinBuilder().Version("01.21").Bytes();
                      bytes.resize(static_cast<std::size_t>(kMaxFirmwareFileSize) + 1);
                      fs.AddFile(kImagePath, std::move(bytes));
                    },
                    UpdateOutcome::kFileRefused},
        BadFileCase{"Directory", [](auto& fs) { fs.AddDirectory(kImagePath); },
                    UpdateOutcome::kFileNotOpened},
        BadFileCase{"RemovedAfterChoosing",
                    [](auto& fs) {
                      fs.AddFile(kImagePath, BinBuilder().Payload(100).WithCrc().Bytes());
                      fs.Remove(kImagePath);
                    },
                    UpdateOutcome::kFileNotOpened}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

struct SplitCase {
  std::string path;
  std::string folder;
  std::string fileName;
};

class SplitPathTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitPathTest, SplitsAtTheLastSeparator) {
  const auto [folder, fileName] = SplitPath(GetParam().path);
  EXPECT_EQ(folder, GetParam().folder);
  EXPECT_EQ(fileName, GetParam().fileName);
}

INSTANTIATE_TEST_SUITE_P(Paths, SplitPathTest,
                         ::testing::Values(SplitCase{"/fw/pack.pak", "/fw/", "pack.pak"},
                                           SplitCase{"/a/b/c.bin", "/a/b/", "c.bin"},
                                           SplitCase{"/top.bin", "/", "top.bin"},
                                           SplitCase{"plain.bin", "", "plain.bin"},
                                           SplitCase{"/dir/", "/dir/", ""}));

}  // namespace
}  // namespace quorvel::testing
