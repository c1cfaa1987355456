// Whole updates driven through the window as the operator would: Select, the
// chooser answered with a file, the simulated meter taking the image.
#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <algorithm>

#include "console/log_edit.h"
#include "console/transfer_progress_bar.h"
#include "dialog_harness.h"
#include "support/firmware_builder.h"

namespace quorvel::testing {
namespace {

std::vector<std::string> OutcomeLines(const std::string& fileName, bool completed) {
  std::vector<std::string> lines;
  if (completed) {
    lines = {"\"" + fileName + "\" update completed. Please recycle power on instrument", "now.",
             ""};
  } else {
    lines = {"\"" + fileName + "\" firmware update failure! Please recycle power on",
             "instrument now and Try again.", ""};
  }
  lines.insert(lines.end(),
               {"After instrument power is recycled, if you want to update another binary",
                "file, please press the \"Continue\" button, otherwise press the \"OK\" button",
                "to exit."});
  return lines;
}

void ExpectFinishedButtons(UpdateDialog& dialog) {
  QPushButton& select = dialog.button(ConsoleButton::kSelect);
  QPushButton& exit = dialog.button(ConsoleButton::kExit);
  EXPECT_EQ(select.text(), "Continue");
  EXPECT_TRUE(select.isEnabled());
  EXPECT_FALSE(select.isHidden());
  EXPECT_EQ(exit.text(), "OK");
  EXPECT_TRUE(exit.isEnabled());
  EXPECT_FALSE(dialog.state().readyForUpdate);
}

void PressSelect(DialogHarness& harness) {
  QTest::mouseClick(&harness.dialog().button(ConsoleButton::kSelect), Qt::LeftButton);
}

TEST(DialogUpdate, SingleImageIsInstalledAndReported) {
  TempDir dir;
  const BinBuilder image = BinBuilder().Version("01.21").Target(0).Payload(1000).WithCrc();
  const std::string path = dir.Write("dsp-newer.bin", image.Bytes());

  DialogHarness harness;
  harness.Start();
  harness.chooserAnswers.push_back(path);
  PressSelect(harness);

  EXPECT_EQ(harness.lastOutcome, UpdateOutcome::kInstalled);
  EXPECT_EQ(harness.LogLines(), OutcomeLines("dsp-newer.bin", true));
  ExpectFinishedButtons(harness.dialog());

  const auto& installed = harness.sim().meter(0).installedImages();
  ASSERT_EQ(installed.size(), 1u);
  EXPECT_EQ(installed[0].bytes, image.Body());

  // The bar followed the frames and went away when they were done.
  ASSERT_FALSE(harness.percentsShown.empty());
  EXPECT_TRUE(std::is_sorted(harness.percentsShown.begin(), harness.percentsShown.end()));
  EXPECT_EQ(harness.percentsShown.back(), 100);
  EXPECT_EQ(harness.progressTexts.front().find("Image"), std::string::npos);
  EXPECT_TRUE(harness.dialog().progressBar().isHidden());
}

TEST(DialogUpdate, ContinueAfterAnUpdateFindsTheMeterAgain) {
  TempDir dir;
  const std::string path =
      dir.Write("dsp-newer.bin", BinBuilder().Version("01.21").Payload(300).WithCrc().Bytes());
  DialogHarness harness;
  harness.Start();
  harness.chooserAnswers.push_back(path);
  PressSelect(harness);
  ASSERT_EQ(harness.lastOutcome, UpdateOutcome::kInstalled);

  // The simulated meter reboots by itself after the image; then Continue.
  harness.clock.Advance(Millis{10000});
  PressSelect(harness);
  EXPECT_EQ(harness.lastOutcome, UpdateOutcome::kRediscovered);
  EXPECT_TRUE(harness.dialog().state().readyForUpdate);
  EXPECT_EQ(harness.dialog().button(ConsoleButton::kSelect).text(), "Select");
  EXPECT_EQ(harness.dialog().button(ConsoleButton::kExit).text(), "Exit");
}

TEST(DialogUpdate, ChecksumFailureEndsInTheFailureLines) {
  TempDir dir;
  const std::string path =
      dir.Write("dsp-newer.bin", BinBuilder().Version("01.21").Payload(500).WithCrc().Bytes());
  DialogHarness harness("sim:status1=2");
  harness.Start();
  harness.chooserAnswers.push_back(path);
  PressSelect(harness);

  EXPECT_EQ(harness.lastOutcome, UpdateOutcome::kTransferFailed);
  EXPECT_EQ(harness.LogLines(), OutcomeLines("dsp-newer.bin", false));
  ExpectFinishedButtons(harness.dialog());
  EXPECT_TRUE(harness.dialog().progressBar().isHidden());

  // The reason the log no longer shows stays under it, in words, with what to do.
  const QLabel& strip = harness.dialog().statusStrip();
  EXPECT_FALSE(strip.isHidden());
  EXPECT_EQ(strip.text(),
            "The meter refused the image: the image's checksum does not match its data "
            "(CHECKSUM_ERROR). Recycle the meter's power, then press Continue to try again.");
  EXPECT_LT(harness.dialog().log().geometry().bottom(), strip.geometry().top());
  EXPECT_LE(strip.heightForWidth(strip.width()), strip.height()) << "the sentence is cut off";
  // Continue finds the meter, but still in update mode: the ready screen says so.
  harness.clock.Advance(Millis{10000});
  PressSelect(harness);
  ASSERT_TRUE(harness.dialog().state().readyForUpdate);
  EXPECT_EQ(strip.text().toStdString().rfind("The meter is still in update mode", 0), 0u);
}

// Every wait of an update pumps the window's messages, so no moment leaves the
// window unpainted and deaf for the 0.2 s an operator notices; a click that
// arrives as the chooser closes is handled at once, not after the meter's
// seconds-long waits.
TEST(DialogUpdate, EveryWaitKeepsTheWindowAnswering) {
  TempDir dir;
  const std::vector<std::string> files = {
      dir.Write("dsp-newer.bin", BinBuilder().Version("01.21").Payload(500).WithCrc().Bytes()),
      dir.Write("package-2.pak",
                PakBuilder()
                    .AddImage(BinBuilder().Version("01.21").Payload(300).WithCrc())
                    .AddImage(BinBuilder().Target(1).Version("06.00").Payload(200).WithCrc())
                    .Bytes())};
  for (const std::string& path : files) {
    SCOPED_TRACE(path);
    DialogHarness harness;
    harness.Start();
    std::optional<Millis> chosenAt;
    std::optional<Millis> clickHandledAt;
    harness.onChooser = [&] {
      chosenAt = harness.clock.Now();
      QTimer::singleShot(0, &harness.dialog(), [&] { clickHandledAt = harness.clock.Now(); });
    };
    harness.chooserAnswers.push_back(path);
    PressSelect(harness);
    ASSERT_EQ(harness.lastOutcome, UpdateOutcome::kInstalled);
    harness.clock.Advance(Millis{10000});
    PressSelect(harness);  // Continue: the meter is looked for again
    ASSERT_EQ(harness.lastOutcome, UpdateOutcome::kRediscovered);

    ASSERT_TRUE(chosenAt && clickHandledAt);
    EXPECT_LE(*clickHandledAt - *chosenAt, Millis{100});
    EXPECT_LT(harness.clock.longestUnpumped(), Millis{200});
  }
}

TEST(DialogUpdate, OlderImageIsRefusedAndOnlyExitRemains) {
  TempDir dir;
  const std::string path =
      dir.Write("dsp-older.bin", BinBuilder().Version("01.10").Payload(500).WithCrc().Bytes());
  DialogHarness harness;
  harness.Start();
  harness.chooserAnswers.push_back(path);
  PressSelect(harness);

  EXPECT_EQ(harness.lastOutcome, UpdateOutcome::kFileRefused);
  EXPECT_TRUE(harness.dialog().button(ConsoleButton::kSelect).isHidden());
  EXPECT_TRUE(harness.dialog().button(ConsoleButton::kExit).isEnabled());
  EXPECT_EQ(harness.dialog().button(ConsoleButton::kExit).text(), "Exit");
  const std::vector<std::string> lines = harness.LogLines();
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      "Firmware Update Not Possible (DSP). Binary file version is older than "),
            lines.end());
  EXPECT_TRUE(harness.sim().meter(0).installedImages().empty());
  EXPECT_TRUE(harness.percentsShown.empty());
}

TEST(DialogUpdate, PackageIsInstalledImageByImage) {
  TempDir dir;
  const ByteVector pak =
      PakBuilder()
          .AddImage(BinBuilder().Version("01.21").Payload(700).WithCrc())
          .AddImage(BinBuilder().Target(1).Version("06.00").Payload(400).WithCrc())
          .AddImage(BinBuilder().Version("01.30").Payload(300).WithCrc())
          .Bytes();
  const std::string path = dir.Write("package-3.pak", pak);

  DialogHarness harness;
  harness.Start();
  harness.chooserAnswers.push_back(path);
  PressSelect(harness);

  EXPECT_EQ(harness.lastOutcome, UpdateOutcome::kInstalled);
  // The package update writes nothing itself: identification lines, then the
  // outcome. The serial keeps the meter's newline.
  std::vector<std::string> expected = {"Serial No: SN000123\n", "Please wait ..."};
  const std::vector<std::string> outcome = OutcomeLines("package-3.pak", true);
  expected.insert(expected.end(), outcome.begin(), outcome.end());
  EXPECT_EQ(harness.LogLines(), expected);
  ExpectFinishedButtons(harness.dialog());
  EXPECT_TRUE(harness.boxes.empty());

  const auto& installed = harness.sim().meter(0).installedImages();
  const std::vector<ByteVector> sent = ImagesSentByPackageUpdate(pak);
  ASSERT_EQ(installed.size(), sent.size());
  for (std::size_t i = 0; i < sent.size(); ++i) EXPECT_EQ(installed[i].bytes, sent[i]);

  const bool namesEveryImage = std::all_of(
      harness.progressTexts.begin(), harness.progressTexts.end(),
      [](const std::string& text) { return text.rfind("Image ", 0) == 0; });
  EXPECT_TRUE(namesEveryImage);
  EXPECT_EQ(harness.progressTexts.back().rfind("Image 3 of 3", 0), 0u);
  EXPECT_TRUE(harness.dialog().progressBar().isHidden());
}

}  // namespace
}  // namespace quorvel::testing
