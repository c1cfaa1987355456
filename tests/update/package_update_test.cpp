// The package update, run whole against the simulated meter in virtual time.
#include <gtest/gtest.h>

#include <optional>
#include <random>

#include "support/update_scenario.h"
#include "instrument/wire_format.h"

namespace quorvel::testing {
namespace {

constexpr const char* kPackagePath = "/fw/pack.pak";

// An image that a later position of a package sends whole: `size` bytes whose
// CRC trailer the meter accepts.
ByteVector LaterImage(std::size_t size, std::uint8_t seed = 7) { return ImageWithCrc(size, seed); }

// Image 1: a header the update judges and skips, then `payload` bytes that end
// in their CRC.
BinBuilder FirstImage(std::size_t payload, std::string_view version = "01.30") {
  BinBuilder image = BinBuilder().Version(version);
  image.Payload(payload - 4).WithCrc();
  return image;
}

std::size_t Chunks(std::size_t length) { return (length + 239) / 240; }
bool Flushes(std::size_t length) {
  const std::size_t last = length - 240 * ((length - 1) / 240);
  return last == 52 || last == 116 || last == 180;
}

// The waits of a package update from the press of Select, when the meter
// answers at once:
//   identification on the dialog's session   530 + 500 ms (serial)
//   first reconnect 5000, serial 500, identification 500, mode switch 40 x 100,
//   second reconnect 5000
//   image 1: 100 after its header, 100 before each chunk, 100 after the file,
//            100 before the flush marker when there is one, 100 + 100 around the end frame
//   image k > 1: 100 before each full chunk, 10 before the last chunk, 100 before
//                the flush marker, 10, 100 + 100
Millis PrescribedPackageUpdate(const std::vector<std::size_t>& sentLengths) {
  long total = 1030 + 5000 + 500 + 500 + 4000 + 5000;
  for (std::size_t k = 0; k < sentLengths.size(); ++k) {
    const std::size_t length = sentLengths[k];
    const auto chunks = static_cast<long>(Chunks(length));
    total += (k == 0 ? 100 * chunks : 100 * (chunks - 1) + 10) + (Flushes(length) ? 100 : 0);
    total += 200 + (k == 0 ? 200 : 10);
  }
  return Millis{total};
}

// The wait the meter saw before each data frame but the very first, counted
// from the exchange before it: 100 ms, and 10 ms before the last chunk of
// images 2 onward.
void ExpectPrescribedFrameGaps(const std::vector<TimelineEvent>& events) {
  struct Frame {
    Millis gap;
    int image;
  };
  std::vector<Frame> frames;
  int image = 1;
  std::optional<Millis> previous;
  for (const TimelineEvent& event : events) {
    const bool write = event.kind == TimelineKind::Write;
    if (!event.updateMode || (!write && event.kind != TimelineKind::Read)) continue;
    if (write && event.role == WriteRole::DataFrame && previous) {
      frames.push_back({event.time - *previous, image});
    }
    if (write && event.role == WriteRole::EndFrame) ++image;
    if (previous || (write && event.role == WriteRole::DataFrame)) previous = event.time;
  }
  ASSERT_FALSE(frames.empty());
  for (std::size_t i = 0; i < frames.size(); ++i) {
    const bool lastOfImage = i + 1 == frames.size() || frames[i + 1].image != frames[i].image;
    const Millis expected = lastOfImage && frames[i].image > 1 ? kShortFrameGap : kFrameGap;
    EXPECT_EQ(frames[i].gap, expected) << "frame " << i + 2 << " of image " << frames[i].image;
  }
}

class PackageUpdateTest : public UpdateScenario {
 protected:
  UpdateOutcome UpdateWith(const ByteVector& pak) {
    ChooseFile(kPackagePath, pak);
    return PressSelect();
  }
  std::vector<std::string> PackageLogLines(const std::vector<std::string>& outcome) {
    std::vector<std::string> lines{"Serial No: SN000123\n", "Please wait ..."};
    for (const auto& line : outcome) lines.push_back(line);
    return lines;
  }
  void ExpectPackageFinished(const std::vector<std::string>& outcome) {
    std::vector<std::string> expected = PackageLogLines(outcome);
    for (const auto& line : ClosingLines()) expected.push_back(line);
    EXPECT_EQ(logLines(), expected);
    EXPECT_EQ(console.select, (ButtonState{"Continue", true, true}));
    EXPECT_EQ(console.exit, (ButtonState{"OK", true, true}));
    EXPECT_FALSE(dialog.readyForUpdate);
    EXPECT_EQ(sim->OpenHandleCount(), 0);
    EXPECT_EQ(files.openFileCount(), 0);
  }
  void ExpectMeterUntouched() {
    EXPECT_FALSE(meterReceived("system:update\n"));
    EXPECT_TRUE(dataFrames().empty());
  }
};

struct PackageSizeCase {
  int images;
  int checkedEntry;  // the one whose header is judged
};

class PackageSizeTest : public PackageUpdateTest,
                        public ::testing::WithParamInterface<PackageSizeCase> {};

TEST_P(PackageSizeTest, EveryImageIsSentInOrderAndTheRightHeaderIsJudged) {
  AttachMeterAndOpenDialog();
  // Only the entry that must be judged carries a header the meter would take;
  // judging any other would refuse the package.
  PakBuilder builder;
  for (int k = 1; k <= GetParam().images; ++k) {
    const char* version = k == GetParam().checkedEntry ? "01.30" : "00.10";
    BinBuilder image = BinBuilder().Version(version);
    image.Payload(static_cast<std::size_t>(200 + 150 * k)).WithCrc();
    builder.AddImage(image, "image" + std::to_string(k) + ".bin");
  }
  const ByteVector pak = builder.Bytes();
  const Millis pressed = clock.Now();
  EXPECT_EQ(UpdateWith(pak), UpdateOutcome::kInstalled) << Timeline();

  const std::vector<ByteVector> expected = ImagesSentByPackageUpdate(pak);
  ASSERT_EQ(meter().installedImages().size(), expected.size());
  std::vector<std::size_t> lengths;
  for (std::size_t k = 0; k < expected.size(); ++k) {
    EXPECT_EQ(meter().installedImages()[k].bytes, expected[k]) << "image " << k + 1;
    lengths.push_back(expected[k].size());
  }
  EXPECT_EQ(clock.Now() - pressed, PrescribedPackageUpdate(lengths));
  ExpectPrescribedFrameGaps(timeline());
  ExpectPackageFinished(SuccessLines("pack.pak"));
  EXPECT_EQ(console.progress[console.progress.size() - 2].image, GetParam().images);
  EXPECT_EQ(console.progress[console.progress.size() - 2].imageCount, GetParam().images);
  EXPECT_EQ(dialog.report.imagesAccepted, GetParam().images);

  // What the run waits for between the switch and the first frame: the meter
  // leaving the bus, then the search after its restart; the wait ends just
  // before image 1's first frame.
  const auto switched = std::find_if(timeline().begin(), timeline().end(), [](const auto& event) {
    return event.text() == "system:update\n";
  });
  ASSERT_NE(switched, timeline().end());
  using Wait = RecordingConsole::Waiting;
  EXPECT_EQ(console.waits,
            (std::vector<Wait>{{MeterWait::kSwitching, Millis{4000}, switched->time},
                               {MeterWait::kReconnecting, Millis{5000}, switched->time + Millis{4000}},
                               {MeterWait::kNone, Millis{0}, dataFrames().front().time - Millis{100}}}));
}

INSTANTIATE_TEST_SUITE_P(Packages, PackageSizeTest,
                         ::testing::Values(PackageSizeCase{1, 1}, PackageSizeCase{2, 2},
                                           PackageSizeCase{3, 3}, PackageSizeCase{5, 3}));

struct FlushCase {
  std::size_t firstPayload;  // bytes of image 1 after its header
  std::size_t secondImage;   // bytes of image 2
};

class FlushFrameTest : public PackageUpdateTest,
                       public ::testing::WithParamInterface<FlushCase> {};

TEST_P(FlushFrameTest, ThreeByteFrameFollowsOnlyLastChunksOf52_116And180) {
  AttachMeterAndOpenDialog();
  // Image 3 carries the header that is judged.
  const ByteVector pak = PakBuilder()
                             .AddImage(FirstImage(GetParam().firstPayload))
                             .AddImage(LaterImage(GetParam().secondImage))
                             .AddImage(BinBuilder().Version("01.30").Payload(20).WithCrc())
                             .Bytes();
  ASSERT_EQ(UpdateWith(pak), UpdateOutcome::kInstalled) << Timeline();

  // Which writes came as flush markers, and right after which image's last frame.
  std::vector<int> flushedAfterImage;
  int image = 1;
  bool lastWasData = false;
  for (const auto& event : timeline()) {
    if (event.kind != TimelineKind::Write || !event.updateMode) continue;
    if (event.role == WriteRole::FlushMarker) {
      EXPECT_TRUE(lastWasData) << "the marker follows the image's last frame";
      EXPECT_EQ(event.bytes, (std::vector<std::uint8_t>{0x40, 0x3F, 0x0A}));
      flushedAfterImage.push_back(image);
    }
    if (event.role == WriteRole::EndFrame) ++image;
    lastWasData = event.role == WriteRole::DataFrame;
  }
  std::vector<int> expected;
  if (Flushes(GetParam().firstPayload)) expected.push_back(1);
  if (Flushes(GetParam().secondImage)) expected.push_back(2);
  if (Flushes(50 + 20 + 4)) expected.push_back(3);
  EXPECT_EQ(flushedAfterImage, expected);
  EXPECT_EQ(meter().installedImages().size(), 3u);
  ExpectPrescribedFrameGaps(timeline());
}

INSTANTIATE_TEST_SUITE_P(LastChunks, FlushFrameTest,
                         ::testing::Values(FlushCase{52, 52}, FlushCase{292, 116},
                                           FlushCase{180, 180}, FlushCase{240, 240},
                                           FlushCase{480, 481}, FlushCase{100, 420},
                                           FlushCase{53, 51}));

TEST_F(PackageUpdateTest, RejectionAfterImageTwoOfThreeStopsThere) {
  AttachMeterAndOpenDialog();
  ByteVector broken = LaterImage(300);
  broken[10] ^= 0xFF;  // the meter's checksum no longer matches
  const ByteVector pak = PakBuilder()
                             .AddImage(FirstImage(400))
                             .AddImage(broken)
                             .AddImage(BinBuilder().Version("01.30").Payload(100).WithCrc())
                             .Bytes();
  EXPECT_EQ(UpdateWith(pak), UpdateOutcome::kTransferFailed);
  ASSERT_EQ(meter().installedImages().size(), 1u);
  std::size_t sent = 0;
  for (const auto& frame : dataFrames()) sent += frame.bytes.size();
  EXPECT_EQ(sent, 400u + 300u) << "image 3 is never sent";
  // The report names the image and the meter's verdict, for the front ends.
  EXPECT_EQ(dialog.report.outcome, UpdateOutcome::kTransferFailed);
  EXPECT_EQ(dialog.report.image, 2);
  EXPECT_EQ(dialog.report.imageCount, 3);
  EXPECT_EQ(dialog.report.step, TransferStep::kStatusRefused);
  EXPECT_EQ(dialog.report.MeterStatusText(), "CHECKSUM_ERROR");
  EXPECT_TRUE(console.messageBoxes.empty());
  ExpectPackageFinished(FailureLines("pack.pak"));
}

struct GateCase {
  const char* name;
  std::string meterKnobs;
  BinBuilder header;    // the judged image (the only one)
  std::string refusal;  // the box's text; empty when the update goes on
};

std::string OlderBox(const std::string& target) {
  return "Firmware Update Not Possible (" + target +
         ").\nBinary file version is older than instrument version.";
}
const char* const kSignatureBox =
    "Firmware update was not successful.\nPlease be sure you selected the correct firmware "
    "file in the installation process.";
const char* const kFunctionBox =
    "Firmware Update Not Possible. Binary file contain unidentify function ID.";

class PackageGateTest : public PackageUpdateTest,
                        public ::testing::WithParamInterface<GateCase> {};

TEST_P(PackageGateTest, HeaderRulesOfThePackagePath) {
  AttachMeterAndOpenDialog(GetParam().meterKnobs);
  BinBuilder image = GetParam().header;
  image.Payload(200).WithCrc();
  const UpdateOutcome outcome = UpdateWith(PakBuilder().AddImage(image).Bytes());

  if (GetParam().refusal.empty()) {
    EXPECT_EQ(outcome, UpdateOutcome::kInstalled) << Timeline();
    EXPECT_TRUE(console.messageBoxes.empty());
    return;
  }
  EXPECT_EQ(outcome, UpdateOutcome::kFileRefused);
  ASSERT_EQ(console.messageBoxes.size(), 1u);
  const MessageBoxRequest& box = console.messageBoxes[0];
  EXPECT_EQ(box.text, GetParam().refusal);
  EXPECT_EQ(box.caption, "Quorvel");
  EXPECT_EQ(box.icon, MessageIcon::kWarning);
  EXPECT_EQ(box.owner, MessageOwner::kNone);
  ExpectMeterUntouched();
  ExpectPackageFinished(FailureLines("pack.pak"));
}

INSTANTIATE_TEST_SUITE_P(
    Gate, PackageGateTest,
    ::testing::Values(
        GateCase{"OtherMaker", "", BinBuilder().Signature("NAVIX"), kSignatureBox},
        GateCase{"SignatureMayRunOn", "", BinBuilder().Signature("NAVIRS").Version("01.30"), ""},
        GateCase{"DspOlder", "", BinBuilder().Version("00.10"), OlderBox("DSP")},
        GateCase{"DspSameVersionGoesOn", "", BinBuilder().Version("01.20"), ""},
        GateCase{"DspTestImageGoesOn", "version=2.00.00.000", BinBuilder().Version("T1.00"), ""},
        GateCase{"VersionsCompareAsNumbers", "version=1.9xx.00.00", BinBuilder().Version("1.10"),
                 OlderBox("DSP")},
        GateCase{"PanelSameVersion", "", BinBuilder().Target(1).Version("01.20"),
                 OlderBox("Panel")},
        GateCase{"PanelNewer", "", BinBuilder().Target(1).Version("01.30"), ""},
        GateCase{"Msp430SameVersion", "", BinBuilder().Target(2).Version("01.20"),
                 OlderBox("MSP 430")},
        GateCase{"UnknownTarget", "", BinBuilder().Target(7).Version("09.00"), kFunctionBox},
        GateCase{"TestMeterTakesAnything", "version=T1.00.00.00",
                 BinBuilder().Signature("OTHER").Target(7), ""},
        GateCase{"SpecialMeterSkipsVersions", "version=02.xx.00.00",
                 BinBuilder().Version("00.10"), ""},
        GateCase{"NearlySpecialMeterDoesNot", "version=02.xy.00.00",
                 BinBuilder().Version("00.10"), OlderBox("DSP")}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

struct DamageCase {
  const char* name;
  std::function<ByteVector()> make;
};

PakBuilder SaneTwoImages() {
  return PakBuilder().AddImage(FirstImage(300)).AddImage(LaterImage(200));
}

class DamagedPackageTest : public PackageUpdateTest,
                           public ::testing::WithParamInterface<DamageCase> {};

TEST_P(DamagedPackageTest, DamagedPackageNeverReachesTheMeter) {
  AttachMeterAndOpenDialog();
  EXPECT_EQ(UpdateWith(GetParam().make()), UpdateOutcome::kFileRefused);
  ASSERT_EQ(console.messageBoxes.size(), 1u);
  EXPECT_EQ(console.messageBoxes[0].text, "The package file is damaged.");
  EXPECT_EQ(console.messageBoxes[0].caption, "Quorvel");
  EXPECT_EQ(console.messageBoxes[0].owner, MessageOwner::kNone);
  // The meter was only asked who it is, so no power cycle is asked for: the
  // window is ready for the next Select at once.
  EXPECT_EQ(textWrites(), (std::vector<std::string>{"L0\n", "*idn?\n", "cal:sec:serial?\n"}));
  EXPECT_EQ(logLines(), (std::vector<std::string>{
                            "Click \"Select\" button and find the file you want to update.", "",
                            "  5407 for DSP firmware.", "  1232 for 430 firmware."}));
  EXPECT_EQ(console.select, (ButtonState{"Select", true, true}));
  EXPECT_EQ(console.exit, (ButtonState{"Exit", true, true}));
  EXPECT_TRUE(dialog.readyForUpdate);
  EXPECT_GT(sim->OpenHandleCount(), 0);
  EXPECT_EQ(files.openFileCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Damage, DamagedPackageTest,
    ::testing::Values(
        DamageCase{"EmptyFile", [] { return ByteVector{}; }},
        DamageCase{"ShorterThanTheDirectory", [] { return ByteVector(300, 0); }},
        DamageCase{"NoEntries", [] { return SaneTwoImages().EntryCount(0).Bytes(); }},
        DamageCase{"NegativeEntryCount", [] { return SaneTwoImages().EntryCount(-1).Bytes(); }},
        DamageCase{"HugeEntryCount",
                   [] { return SaneTwoImages().EntryCount(0x7FFFFFFF).Bytes(); }},
        DamageCase{"EntryTableCutShort",
                   [] { return SaneTwoImages().TruncateTo(516 + 520 + 100).Bytes(); }},
        DamageCase{"NegativeOffset", [] { return SaneTwoImages().EntryOffset(2, -5).Bytes(); }},
        DamageCase{"EmptyLaterImage", [] { return SaneTwoImages().EntrySize(2, 0).Bytes(); }},
        DamageCase{"FirstImageOnlyAHeader",
                   [] { return SaneTwoImages().EntrySize(1, 50).Bytes(); }},
        DamageCase{"ImageRunsPastTheEnd",
                   [] { return SaneTwoImages().EntrySize(2, 100000).Bytes(); }},
        DamageCase{"OffsetPastTheEnd",
                   [] { return SaneTwoImages().EntryOffset(2, 1 << 30).Bytes(); }},
        DamageCase{"OffsetAndSizeOverflowTogether",
                   [] {
                     return SaneTwoImages()
                         .EntryOffset(2, 0x7FFFFFF0)
                         .EntrySize(2, 0x7FFFFFF0)
                         .Bytes();
                   }},
        // Image 2 would be the package's own directory and table.
        DamageCase{"ImageOverTheTable", [] { return SaneTwoImages().EntryOffset(2, 0).Bytes(); }},
        // A third entry naming image 2 again would install it twice.
        DamageCase{"DuplicatedEntry",
                   [] { return SaneTwoImages().AddEntry(516 + 3 * 520 + 350, 200).Bytes(); }},
        DamageCase{"FileCutInsideTheLastImage", [] {
                     const ByteVector whole = SaneTwoImages().Bytes();
                     return ByteVector(whole.begin(), whole.end() - 10);
                   }}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

TEST_F(PackageUpdateTest, SerialWithoutAtSignIsRefusedBeforeAnyCommand) {
  AttachMeter();
  files.AddFile(kPackagePath, PakBuilder().AddImage(FirstImage(100)).Bytes());
  EXPECT_EQ(RunPackageUpdate(*services, kPackagePath, "/fw/SN000123\n").outcome,
            UpdateOutcome::kNoMeter);
  ASSERT_EQ(console.messageBoxes.size(), 1u);
  EXPECT_EQ(console.messageBoxes[0].text, "DMM device serial no miss.");
  EXPECT_EQ(console.messageBoxes[0].caption, "Quorvel");
  EXPECT_TRUE(textWrites().empty());
  EXPECT_EQ(sim->OpenHandleCount(), 0);
}

TEST_F(PackageUpdateTest, AtSignAloneIsEnough) {
  AttachMeter();
  files.AddFile(kPackagePath, PakBuilder().AddImage(FirstImage(100)).Bytes());
  EXPECT_EQ(RunPackageUpdate(*services, kPackagePath, "@").outcome, UpdateOutcome::kInstalled);
  EXPECT_EQ(sim->OpenHandleCount(), 0);
}

TEST_F(PackageUpdateTest, MissingPackageIsReportedBeforeTheMeterSwitches) {
  AttachMeterAndOpenDialog();
  ChooseMissingFile("/fw/gone.pak");
  EXPECT_EQ(PressSelect(), UpdateOutcome::kFileNotOpened);
  ASSERT_EQ(console.messageBoxes.size(), 1u);
  EXPECT_EQ(console.messageBoxes[0].text, "The first bin file not found.");
  EXPECT_EQ(console.messageBoxes[0].caption, "Quorvel firmware");
  ExpectMeterUntouched();
  ExpectPackageFinished(FailureLines("gone.pak"));
}

TEST_F(PackageUpdateTest, MeterGoneBeforeThePackageStarts) {
  AttachMeterAndOpenDialog();
  visa->hideMeter = true;
  EXPECT_EQ(UpdateWith(PakBuilder().AddImage(FirstImage(100)).Bytes()), UpdateOutcome::kNoMeter);
  ASSERT_EQ(console.messageBoxes.size(), 1u);
  EXPECT_EQ(console.messageBoxes[0].text, "Meter not found.");
  EXPECT_EQ(console.messageBoxes[0].owner, MessageOwner::kNone);
  ExpectMeterUntouched();
  ExpectPackageFinished(FailureLines("pack.pak"));
}

TEST_F(PackageUpdateTest, MeterThatNeverReturnsFromTheSwitch) {
  AttachMeterAndOpenDialog("return=0");
  EXPECT_EQ(UpdateWith(PakBuilder().AddImage(FirstImage(100)).Bytes()), UpdateOutcome::kNoMeter);
  ASSERT_EQ(console.messageBoxes.size(), 1u);
  EXPECT_EQ(console.messageBoxes[0].text, "Meter not found.");
  EXPECT_TRUE(meterReceived("system:update\n"));
  EXPECT_TRUE(dataFrames().empty());
  ExpectPackageFinished(FailureLines("pack.pak"));
}

TEST_F(PackageUpdateTest, TheBytesSentAreTheBytesChecked) {
  AttachMeterAndOpenDialog();
  const ByteVector pak =
      SaneTwoImages().AddImage(BinBuilder().Version("01.30").Payload(100).WithCrc()).Bytes();
  ChooseFile(kPackagePath, pak);
  bool rewritten = false;
  console.onPump = [&] {
    // Someone rewrites the package while the meter switches.
    if (!rewritten && meterReceived("system:update\n")) {
      files.AddFile(kPackagePath, PatternBytes(pak.size(), 5));
      rewritten = true;
    }
  };
  EXPECT_EQ(PressSelect(), UpdateOutcome::kInstalled) << Timeline();
  ASSERT_TRUE(rewritten);
  const std::vector<ByteVector> expected = ImagesSentByPackageUpdate(pak);
  ASSERT_EQ(meter().installedImages().size(), expected.size());
  for (std::size_t k = 0; k < expected.size(); ++k) {
    EXPECT_EQ(meter().installedImages()[k].bytes, expected[k]) << "image " << k + 1;
  }
  EXPECT_EQ(files.usage(kPackagePath).shares, std::vector<FileShare>{FileShare::kReadOnly})
      << "one open, locked against writers, from the check to the last frame";
}

TEST_F(PackageUpdateTest, ButtonsStayDisabledWhileThePackageRuns) {
  AttachMeterAndOpenDialog();
  bool anyEnabled = false;
  console.onPump = [&] {
    if (meterReceived("system:update\n") && meter().installedImages().empty()) {
      anyEnabled = anyEnabled || console.select.enabled || console.exit.enabled;
    }
  };
  EXPECT_EQ(UpdateWith(PakBuilder().AddImage(FirstImage(600)).Bytes()), UpdateOutcome::kInstalled);
  EXPECT_FALSE(anyEnabled);
  EXPECT_GT(console.pumpCount, 40) << "the window is kept alive while frames go out";
}

// Packages whose entries point anywhere: whatever happens, no frame carries a
// byte the file did not hold, and nothing is left open.
TEST_F(PackageUpdateTest, EntriesPointingAnywhereNeverSendForeignBytes) {
  std::mt19937 random(20261207);
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    console = RecordingConsole();
    dialog = DialogState();
    AttachMeterAndOpenDialog("verify=0");
    PakBuilder builder = SaneTwoImages().AddImage(BinBuilder().Version("01.30").Payload(100));
    const auto fileSize = static_cast<int>(builder.Bytes().size());
    std::uniform_int_distribution<int> position(-20, fileSize + 20);
    for (int k = 1; k <= 3; ++k) {
      if (random() % 2) builder.EntryOffset(k, position(random));
      if (random() % 2) builder.EntrySize(k, position(random));
    }
    const ByteVector pak = builder.Bytes();
    const UpdateOutcome outcome = UpdateWith(pak);
    EXPECT_TRUE(outcome == UpdateOutcome::kFileRefused || outcome == UpdateOutcome::kInstalled ||
                outcome == UpdateOutcome::kTransferFailed);
    for (const auto& frame : dataFrames()) {
      EXPECT_NE(std::search(pak.begin(), pak.end(), frame.bytes.begin(), frame.bytes.end()),
                pak.end());
    }
    CloseSessionsForExit(dialog);  // a refused package leaves the window ready
    EXPECT_EQ(sim->OpenHandleCount(), 0);
    EXPECT_EQ(files.openFileCount(), 0);
  }
}

// ---------------------------------------------------------------------------
// Fault knobs of the simulated meter against both kinds of file: how the run
// ends, whether the meter was switched, how many frames it took. Whatever the
// fault, "installed" is reported only when the meter installed every image.

enum class FileKind { kImage, kPackage };

struct FaultCase {
  const char* name;
  std::string knobs;
  FileKind kind;
  UpdateOutcome outcome;
  bool switched;  // "system:update" was sent
  std::size_t frames;
  std::size_t installed;  // images the meter installed
  std::string box;        // the one message box shown; empty: none
  // Reads that bring the meter's '0' report this status (a time-out, a lost
  // connection) while the bytes still arrive.
  ViStatus statusOfAcceptance = VI_SUCCESS;
  std::vector<int> unconfirmed{};  // images whose end frame got no reply
};

// The image: 1004 bytes in frames of 240 x 4 and 44. The package: image 1
// (400 bytes after its header: 240 + 160), image 2 (300: 240 + 60) and the
// judged image 3 (154: one frame), 5 frames in all.
const char* SamplePath(FileKind kind) { return kind == FileKind::kImage ? "/fw/dsp.bin" : kPackagePath; }
ByteVector SampleFile(FileKind kind) {
  if (kind == FileKind::kImage) return BinBuilder().Version("01.21").Payload(1000).WithCrc().Bytes();
  return PakBuilder()
      .AddImage(FirstImage(400))
      .AddImage(LaterImage(300))
      .AddImage(BinBuilder().Version("01.30").Payload(100).WithCrc())
      .Bytes();
}

class FaultMatrixTest : public PackageUpdateTest,
                        public ::testing::WithParamInterface<FaultCase> {};

TEST_P(FaultMatrixTest, EndsAsTheMeterDecided) {
  AttachMeterAndOpenDialog(GetParam().knobs);
  if (GetParam().statusOfAcceptance != VI_SUCCESS) {
    visa->readStatus = [](std::span<const std::uint8_t> reply) {
      const bool acceptance = StatusCharacter(reply) == kStatusAccepted;
      return acceptance ? GetParam().statusOfAcceptance : VI_SUCCESS;
    };
  }
  ChooseFile(SamplePath(GetParam().kind), SampleFile(GetParam().kind));
  const Millis pressed = clock.Now();
  EXPECT_EQ(PressSelect(), GetParam().outcome) << Timeline();
  EXPECT_EQ(meterReceived("system:update\n"), GetParam().switched);
  EXPECT_EQ(dataFrames().size(), GetParam().frames);
  EXPECT_EQ(meter().installedImages().size(), GetParam().installed);
  std::vector<std::string> boxes;
  for (const MessageBoxRequest& box : console.messageBoxes) boxes.push_back(box.text);
  EXPECT_EQ(boxes, GetParam().box.empty() ? std::vector<std::string>{}
                                          : std::vector<std::string>{GetParam().box});
  EXPECT_EQ(visa->writesAfterAFailure, 0) << "nothing is paced into a dead session";
  EXPECT_EQ(dialog.report.imagesUnconfirmed, GetParam().unconfirmed);
  // "Installed" only with the meter's word on every image.
  if (dialog.report.outcome == UpdateOutcome::kInstalled) {
    EXPECT_EQ(meter().installedImages().size(), static_cast<std::size_t>(dialog.report.imageCount));
  }
  // Without a meter the reads wait out their time-outs, but nothing waits for frames.
  EXPECT_LT(clock.Now() - pressed, Millis{60000});
  EXPECT_EQ(files.openFileCount(), 0);
}

const std::string kNoIdentity(kNoIdentityText);
constexpr auto kImage = FileKind::kImage;
constexpr auto kPackage = FileKind::kPackage;
constexpr auto kInstalled = UpdateOutcome::kInstalled;
constexpr auto kFailed = UpdateOutcome::kTransferFailed;
constexpr auto kNoMeter = UpdateOutcome::kNoMeter;

INSTANTIATE_TEST_SUITE_P(
    Knobs, FaultMatrixTest,
    ::testing::Values(
        FaultCase{"HealthyImage", "", kImage, kInstalled, true, 5, 1, ""},
        FaultCase{"HealthyPackage", "", kPackage, kInstalled, true, 5, 3, ""},
        FaultCase{"PrefixedImage", "prefix_ab=1", kImage, kInstalled, true, 5, 1, ""},
        FaultCase{"PrefixedPackage", "prefix_ab=1", kPackage, kInstalled, true, 5, 3, ""},
        // A meter that does not say who it is gets nothing, not even the switch.
        FaultCase{"SilentImage", "silent=1", kImage, kNoMeter, false, 0, 0, kNoIdentity},
        FaultCase{"SilentPackage", "silent=1", kPackage, kNoMeter, false, 0, 0, kNoIdentity},
        FaultCase{"TooSlowImage", "slow_ms=25000", kImage, kNoMeter, false, 0, 0, kNoIdentity},
        FaultCase{"TooSlowPackage", "slow_ms=25000", kPackage, kNoMeter, false, 0, 0,
                  kNoIdentity},
        FaultCase{"ShortIdentityImage", "idn=NAVIR,Q1", kImage, kNoMeter, false, 0, 0,
                  kNoIdentity},
        FaultCase{"ShortIdentityPackage", "idn=NAVIR,Q1", kPackage, kNoMeter, false, 0, 0,
                  kNoIdentity},
        // The meter's word after the end frame counts on both paths.
        FaultCase{"FirstStatusRefusedImage", "status1=2", kImage, kFailed, true, 5, 0, ""},
        FaultCase{"FirstStatusRefusedPackage", "status1=2", kPackage, kFailed, true, 2, 0, ""},
        FaultCase{"EndFrameRefusedImage", "status2=2", kImage, kFailed, true, 5, 0, ""},
        FaultCase{"EndFrameRefusedPackage", "status2=2", kPackage, kFailed, true, 2, 0, ""},
        FaultCase{"EndFrameRefusedAfterPrefix", "status2=6,prefix_ab=1", kPackage, kFailed, true,
                  2, 0, ""},
        FaultCase{"EndFrameNotAStatusPackage", "status2=7", kPackage, kFailed, true, 2, 0, ""},
        // A meter that says nothing after the end frame gets the rest of the
        // package, as meters expect, but nothing confirms the images: the
        // simulated one installs nothing.
        FaultCase{"EndFrameUnansweredPackage", "status2=none", kPackage,
                  UpdateOutcome::kUnconfirmed, true, 5, 0, "", VI_SUCCESS, {1, 2, 3}},
        FaultCase{"EndFrameUnansweredImage", "status2=none", kImage, kFailed, true, 5, 0, ""},
        // A '0' whose read then failed accepts nothing.
        FaultCase{"AcceptanceTimedOutImage", "", kImage, kFailed, true, 5, 0, "", VI_ERROR_TMO},
        FaultCase{"AcceptanceTimedOutPackage", "", kPackage, kFailed, true, 2, 0, "",
                  VI_ERROR_TMO},
        FaultCase{"AcceptanceConnectionLostPackage", "", kPackage, kFailed, true, 2, 0, "",
                  VI_ERROR_CONN_LOST},
        // A write that fails ends the image at once.
        FaultCase{"UnpluggedImage", "unplug_after=1", kImage, kFailed, true, 1, 0, ""},
        FaultCase{"UnpluggedPackage", "unplug_after=1", kPackage, kFailed, true, 1, 0, ""},
        FaultCase{"UnpluggedInImageTwo", "unplug_after=3", kPackage, kFailed, true, 3, 1, ""},
        FaultCase{"PartialFrameImage", "partial_at=2", kImage, kFailed, true, 2, 0, ""},
        FaultCase{"PartialFramePackage", "partial_at=2", kPackage, kFailed, true, 2, 0, ""},
        // No meter after the switch: "no meter", whichever the file.
        FaultCase{"NeverBackImage", "return=0", kImage, kNoMeter, true, 0, 0,
                  "USBTMC device not found."},
        FaultCase{"NeverBackPackage", "return=0", kPackage, kNoMeter, true, 0, 0,
                  "Meter not found."},
        FaultCase{"StrictMeterImage", "min_gap_ms=150", kImage, kFailed, true, 5, 0, ""},
        FaultCase{"StrictMeterPackage", "min_gap_ms=150", kPackage, kFailed, true, 2, 0, ""}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

// A stop request (the CLI's Ctrl+C) at any moment after the switch is answered
// within half a second, whatever wait the procedure is in.
struct StopCase {
  const char* name;
  FileKind kind;
  Millis after;  // since "system:update"
  std::size_t frames;
  int accepted = 0;  // images the meter had accepted when the stop came
};

class StopAfterSwitchTest : public PackageUpdateTest,
                            public ::testing::WithParamInterface<StopCase> {};

TEST_P(StopAfterSwitchTest, EveryWaitAnswersWithinHalfASecond) {
  AttachMeterAndOpenDialog();
  ChooseFile(SamplePath(GetParam().kind), SampleFile(GetParam().kind));
  std::optional<Millis> stopAt;
  console.stopWhen = [&] {
    if (!stopAt) {
      for (const TimelineEvent& event : timeline()) {
        if (event.text() == "system:update\n") stopAt = event.time + GetParam().after;
      }
    }
    return stopAt && clock.Now() >= *stopAt;
  };
  EXPECT_EQ(PressSelect(), UpdateOutcome::kStopped) << Timeline();
  ASSERT_TRUE(stopAt);
  EXPECT_LE(clock.Now() - *stopAt, Millis{500});
  EXPECT_EQ(dataFrames().size(), GetParam().frames);
  EXPECT_EQ(dialog.report.imagesAccepted, GetParam().accepted);
  EXPECT_EQ(AcceptedImagesText(dialog.report).empty(), GetParam().accepted == 0);
  EXPECT_EQ(sim->OpenHandleCount(), 0);
  EXPECT_EQ(files.openFileCount(), 0);
  // The operator is never left told to wait for a meter once the run is over.
  ASSERT_FALSE(console.waits.empty());
  EXPECT_EQ(console.waits.back().what, MeterWait::kNone);
}

// Image: 2 s of slices, 5 s, the rediscovery (2 s), 2 s, the frames, 1.1 s.
// Package: 40 passes of 100 ms, then the 5 s before the reconnect.
INSTANTIATE_TEST_SUITE_P(
    Waits, StopAfterSwitchTest,
    ::testing::Values(StopCase{"ImageWhileTheMeterLeaves", kImage, Millis{50}, 0},
                      StopCase{"ImageInTheFiveSeconds", kImage, Millis{3000}, 0},
                      StopCase{"ImageInTheRediscovery", kImage, Millis{7500}, 0},
                      StopCase{"ImageBeforeOpeningTheMeter", kImage, Millis{8500}, 0},
                      StopCase{"ImageBeforeTheData", kImage, Millis{10500}, 0},
                      StopCase{"ImageBeforeTheVerdict", kImage, Millis{12000}, 5},
                      StopCase{"PackageWhileTheMeterLeaves", kPackage, Millis{1000}, 0},
                      StopCase{"PackageInTheReconnect", kPackage, Millis{6000}, 0},
                      StopCase{"PackageAfterImageOne", kPackage, Millis{9900}, 4, 1}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

TEST_F(PackageUpdateTest, MeterSilentOnlyOnThePackageSessionIsNotSwitched) {
  AttachMeter("silent=1");
  files.AddFile(kPackagePath, PakBuilder().AddImage(FirstImage(100)).Bytes());
  EXPECT_EQ(RunPackageUpdate(*services, kPackagePath, "/fw/@SN000123\n").outcome,
            UpdateOutcome::kNoMeter);
  ASSERT_EQ(console.messageBoxes.size(), 1u);
  EXPECT_EQ(console.messageBoxes[0].text, kNoIdentityText);
  EXPECT_EQ(console.messageBoxes[0].owner, MessageOwner::kNone);
  ExpectMeterUntouched();
  EXPECT_EQ(sim->OpenHandleCount(), 0);
}

}  // namespace
}  // namespace quorvel::testing
