// The main window's own behaviour: start-up, the keys and buttons that must
// change nothing, leaving through Exit, the read-only log and the background.
#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QCoreApplication>
#include <QImage>
#include <QMenu>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <fstream>
#include <iterator>
#include <memory>

#include "console/log_edit.h"
#include "console/transfer_progress_bar.h"
#include "dialog_harness.h"
#include "support/firmware_builder.h"

namespace quorvel::testing {
namespace {

const std::vector<std::string> kReadyLines = {
    "Click \"Select\" button and find the file you want to update.", "",
    "  5407 for DSP firmware.", "  1232 for 430 firmware."};

struct ButtonsSeen {
  std::string selectCaption;
  bool selectEnabled;
  bool selectVisible;
  std::string exitCaption;
  bool exitEnabled;
  bool operator==(const ButtonsSeen&) const = default;
};

ButtonsSeen Buttons(UpdateDialog& dialog) {
  QPushButton& select = dialog.button(ConsoleButton::kSelect);
  QPushButton& exit = dialog.button(ConsoleButton::kExit);
  return {select.text().toStdString(), select.isEnabled(), !select.isHidden(),
          exit.text().toStdString(), exit.isEnabled()};
}

const ButtonsSeen kReadyButtons{"Select", true, true, "Exit", true};

std::string JoinLines(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += (text.empty() ? "" : "\r\n") + line;
  return text;
}

TEST(UpdateDialogStartup, TellsTheOperatorItIsLookingBeforeTheSearchRuns) {
  DialogHarness harness;
  harness.dialog().show();
  EXPECT_EQ(harness.logText(), "Looking for the meter ...");
  EXPECT_FALSE(harness.dialog().button(ConsoleButton::kSelect).isEnabled());
}

TEST(UpdateDialogStartup, WithTheMeterAttachedTheWindowIsReady) {
  DialogHarness harness;
  harness.Start();
  EXPECT_TRUE(harness.dialog().state().readyForUpdate);
  EXPECT_EQ(harness.LogLines(), kReadyLines);
  EXPECT_EQ(Buttons(harness.dialog()), kReadyButtons);
  EXPECT_TRUE(harness.boxes.empty());
  EXPECT_GT(harness.sim().OpenHandleCount(), 0);
}

TEST(UpdateDialogStartup, WithoutAMeterSelectIsDisabledAndTheOperatorWarned) {
  DialogHarness harness("sim:absent=1");
  harness.Start();
  EXPECT_FALSE(harness.dialog().state().readyForUpdate);
  EXPECT_EQ(harness.logText(), "");
  EXPECT_EQ(Buttons(harness.dialog()), (ButtonsSeen{"Select", false, true, "Exit", true}));
  ASSERT_EQ(harness.boxes.size(), 1u);
  EXPECT_EQ(harness.boxes[0].request.text, "USBTMC device not found.");
  EXPECT_EQ(harness.boxes[0].request.caption, "Quorvel firmware");
  EXPECT_EQ(harness.boxes[0].request.icon, MessageIcon::kWarning);
  EXPECT_TRUE(harness.boxes[0].ownedByDialog);
}

TEST(UpdateDialogStartup, AMeterThisUserMayNotOpenIsNamedInTheNotFoundBox) {
  DialogHarness harness("sim:absent=1");
  harness.meterAccessHint = "Install the udev rule.";
  harness.Start();
  ASSERT_EQ(harness.boxes.size(), 1u);
  EXPECT_EQ(harness.boxes[0].request.text, "USBTMC device not found.\n\nInstall the udev rule.");
}

TEST(UpdateDialogKeys, EscapeAndTheCloseBoxChangeNothing) {
  DialogHarness harness;
  harness.Start();
  const int openHandles = harness.sim().OpenHandleCount();

  QTest::keyClick(&harness.dialog(), Qt::Key_Escape);
  QTest::keyClick(&harness.dialog().log(), Qt::Key_Escape);
  EXPECT_FALSE(harness.dialog().close());
  QCoreApplication::processEvents();

  EXPECT_TRUE(harness.dialog().isVisible());
  EXPECT_EQ(harness.LogLines(), kReadyLines);
  EXPECT_EQ(Buttons(harness.dialog()), kReadyButtons);
  EXPECT_TRUE(harness.boxes.empty());
  EXPECT_EQ(harness.sim().OpenHandleCount(), openHandles);
}

TEST(UpdateDialogKeys, EnterInTheLogPressesSelect) {
  DialogHarness harness;
  harness.Start();
  harness.dialog().log().setFocus();
  QTest::keyClick(&harness.dialog().log(), Qt::Key_Return);
  // Select ran: it identified the meter and asked for a file, which the
  // harness cancelled.
  ASSERT_EQ(harness.chooserFilters.size(), 1u);
  EXPECT_EQ(harness.chooserFilters[0],
            "Meter Update Files (*.pak;*.bin)|*.pak;*.bin|Meter Binary Files(*.bin)|*.bin||");
  EXPECT_EQ(harness.logText(), "User Abort...");
  EXPECT_EQ(Buttons(harness.dialog()), kReadyButtons);
}

TEST(UpdateDialogExit, QuestionAndAnswers) {
  struct Case {
    MessageResult answer;
    bool windowStays;
  };
  for (const Case& c : {Case{MessageResult::kCancel, true}, Case{MessageResult::kOk, false}}) {
    SCOPED_TRACE(c.windowStays ? "answered Cancel" : "answered OK");
    DialogHarness harness;
    harness.Start();
    const int openHandles = harness.sim().OpenHandleCount();
    harness.boxAnswers.push_back(c.answer);

    QTest::mouseClick(&harness.dialog().button(ConsoleButton::kExit), Qt::LeftButton);

    ASSERT_EQ(harness.boxes.size(), 1u);
    const MessageBoxRequest& asked = harness.boxes[0].request;
    EXPECT_EQ(asked.text, "Are you sure, you want to quit?");
    EXPECT_EQ(asked.caption, "DMM firmware update");
    EXPECT_EQ(asked.icon, MessageIcon::kQuestion);
    EXPECT_EQ(asked.buttons, MessageButtons::kOkCancel);
    EXPECT_TRUE(harness.boxes[0].ownedByDialog);

    EXPECT_EQ(harness.dialog().isVisible(), c.windowStays);
    if (c.windowStays) {
      EXPECT_EQ(harness.sim().OpenHandleCount(), openHandles);
      EXPECT_EQ(harness.LogLines(), kReadyLines);
      EXPECT_EQ(Buttons(harness.dialog()), kReadyButtons);
    } else {
      EXPECT_EQ(harness.sim().OpenHandleCount(), 0);
      EXPECT_EQ(harness.dialog().result(), QDialog::Accepted);
    }
  }
}

TEST(UpdateDialogExit, ConfirmedWhileSelectRunsTheWindowClosesWhenTheRunIsOver) {
  DialogHarness harness;
  harness.Start();
  bool visibleAfterConfirming = false;
  harness.onChooser = [&harness, &visibleAfterConfirming] {
    // The operator leaves while the chooser is up; Exit is still enabled then.
    harness.dialog().button(ConsoleButton::kExit).click();
    visibleAfterConfirming = harness.dialog().isVisible();
  };
  QTest::mouseClick(&harness.dialog().button(ConsoleButton::kSelect), Qt::LeftButton);

  EXPECT_TRUE(visibleAfterConfirming);
  EXPECT_EQ(harness.lastOutcome, UpdateOutcome::kChooserCancelled);
  EXPECT_FALSE(harness.dialog().isVisible());
  EXPECT_EQ(harness.dialog().result(), QDialog::Accepted);
}

// Exit confirmed while the meter is looked for or switched: the procedure stops
// at its next wait instead of running on for seconds (or a whole transfer),
// and nothing it opened stays open.
TEST(UpdateDialogExit, ConfirmedDuringAWaitStopsTheProcedure) {
  TempDir dir;
  const std::string image =
      dir.Write("dsp-newer.bin", BinBuilder().Version("01.21").Payload(500).WithCrc().Bytes());
  for (const bool duringSwitch : {false, true}) {
    SCOPED_TRACE(duringSwitch ? "during the switch to update mode" : "during the first search");
    DialogHarness harness;
    const auto pressExitSoon = [&harness] {
      QTimer::singleShot(0, &harness.dialog(),
                         [&harness] { harness.dialog().button(ConsoleButton::kExit).click(); });
    };
    if (duringSwitch) {
      harness.Start();
      harness.chooserAnswers.push_back(image);
      harness.onChooser = pressExitSoon;
      QTest::mouseClick(&harness.dialog().button(ConsoleButton::kSelect), Qt::LeftButton);
      EXPECT_EQ(harness.lastOutcome, UpdateOutcome::kStopped);
    } else {
      pressExitSoon();
      harness.Start();
    }
    EXPECT_FALSE(harness.dialog().isVisible());
    EXPECT_LT(harness.clock.Now(), Millis{duringSwitch ? 5000 : 1000});
    EXPECT_EQ(harness.sim().OpenHandleCount(), 0);
    EXPECT_TRUE(harness.sim().meter(0).installedImages().empty());
  }
}

TEST(UpdateDialogLog, TypingPastingAndDeletingChangeNothing) {
  DialogHarness harness;
  harness.Start();
  LogEdit& log = harness.dialog().log();
  log.setFocus();
  QApplication::clipboard()->setText(QStringLiteral("pasted"));

  struct Keys {
    const char* name;
    std::function<void()> press;
  };
  const std::vector<Keys> keys = {
      {"letters", [&log] { QTest::keyClicks(&log, QStringLiteral("abc 123")); }},
      {"backspace", [&log] { QTest::keyClick(&log, Qt::Key_Backspace); }},
      {"delete", [&log] {
         QTest::keyClick(&log, Qt::Key_Home);
         QTest::keyClick(&log, Qt::Key_Delete);
       }},
      {"ctrl+v", [&log] { QTest::keyClick(&log, Qt::Key_V, Qt::ControlModifier); }},
      {"shift+insert", [&log] { QTest::keyClick(&log, Qt::Key_Insert, Qt::ShiftModifier); }},
      {"ctrl+x", [&log] {
         QTest::keyClick(&log, Qt::Key_A, Qt::ControlModifier);
         QTest::keyClick(&log, Qt::Key_X, Qt::ControlModifier);
       }},
      {"tab", [&log] { QTest::keyClick(&log, Qt::Key_Tab); }},
  };
  for (const Keys& k : keys) {
    SCOPED_TRACE(k.name);
    log.setFocus();
    k.press();
    EXPECT_EQ(harness.LogLines(), kReadyLines);
    EXPECT_EQ(log.toPlainText().toStdString(),
              "Click \"Select\" button and find the file you want to update.\n\n"
              "  5407 for DSP firmware.\n  1232 for 430 firmware.");
  }
}

TEST(UpdateDialogLog, CaretKeysStillMove) {
  DialogHarness harness;
  harness.Start();
  LogEdit& log = harness.dialog().log();
  log.setFocus();
  const int atEnd = log.textCursor().position();
  EXPECT_EQ(atEnd, log.toPlainText().size());  // appending left the caret at the end
  QTest::keyClick(&log, Qt::Key_Up);
  EXPECT_LT(log.textCursor().position(), atEnd);
  QTest::keyClick(&log, Qt::Key_End, Qt::ControlModifier);
  EXPECT_EQ(log.textCursor().position(), atEnd);
}

TEST(UpdateDialogLog, ContextMenuCopiesSelectsAndSavesTheWholeSession) {
  TempDir dir;
  DialogHarness harness;
  harness.Start();
  QTest::mouseClick(&harness.dialog().button(ConsoleButton::kSelect), Qt::LeftButton);
  ASSERT_EQ(harness.logText(), "User Abort...");  // the chooser was cancelled

  LogEdit& log = harness.dialog().log();
  const std::unique_ptr<QMenu> menu(log.CreateContextMenu());
  QStringList entries;
  for (const QAction* action : menu->actions()) {
    if (!action->isSeparator()) entries << action->text().remove(u'&');
  }
  EXPECT_EQ(entries, (QStringList{"Copy", "Select All", "Save Log...", "About Quorvel..."}));

  EXPECT_FALSE(menu->actions()[0]->isEnabled()) << "Copy with nothing selected";
  menu->actions()[1]->trigger();  // Select All, then Copy
  const std::unique_ptr<QMenu> withSelection(log.CreateContextMenu());
  withSelection->actions()[0]->trigger();
  EXPECT_EQ(QApplication::clipboard()->text(), "User Abort...");

  // The saved log keeps what the window cleared on the way.
  harness.logFileAnswer = (dir.path() / "session.txt").string();
  menu->actions()[2]->trigger();
  std::ifstream saved(harness.logFileAnswer, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(saved)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, "Looking for the meter ...\r\n" + JoinLines(kReadyLines) +
                      "\r\nSerial No: SN000123\n\r\nPlease wait ...\r\nUser Abort...\r\n");
  EXPECT_TRUE(harness.boxes.empty());

  // A place that cannot be written is reported, not passed over.
  harness.logFileAnswer = (dir.path() / "no-such-folder" / "session.txt").string();
  menu->actions()[2]->trigger();
  ASSERT_EQ(harness.boxes.size(), 1u);
  EXPECT_EQ(harness.boxes[0].request.text.rfind("The log could not be saved to ", 0), 0u);
}

TEST(UpdateDialogPump, AQuitRequestEndsThePumpAndIsConsumed) {
  DialogHarness harness;
  harness.Start();
  QCoreApplication::postEvent(QCoreApplication::instance(), new QEvent(QEvent::Quit));
  EXPECT_FALSE(harness.dialog().PumpMessages());
  EXPECT_TRUE(harness.dialog().PumpMessages());
  EXPECT_TRUE(harness.dialog().isVisible());
}

// Grey of band k, worked out by hand: (255 - 1270 * k / H) with the division
// truncated towards zero.
TEST(UpdateDialogBackground, GradientBandsReadBackFromTheWindow) {
  struct Band {
    int index;
    int grey;
  };
  struct Case {
    int height;
    std::vector<Band> bands;
  };
  const std::vector<Case> cases = {
      {200, {{0, 255}, {1, 249}, {2, 243}, {3, 236}, {4, 230}, {10, 192}, {19, 135}}},
      {300, {{0, 255}, {1, 251}, {10, 213}, {15, 192}, {29, 133}}},
  };
  DialogHarness harness;
  harness.Start();
  UpdateDialog& dialog = harness.dialog();
  for (const Case& c : cases) {
    SCOPED_TRACE("client height " + std::to_string(c.height));
    dialog.setFixedSize(dialog.width(), c.height);
    const QImage image = dialog.grab().toImage();
    ASSERT_EQ(image.height(), c.height);
    for (const Band& band : c.bands) {
      // Left of the log pane, nothing covers the background.
      const QColor colour = image.pixelColor(2, band.index * 10 + 5);
      EXPECT_EQ(colour.red(), band.grey) << "band " << band.index;
      EXPECT_EQ(colour.green(), band.grey) << "band " << band.index;
      EXPECT_EQ(colour.blue(), band.grey) << "band " << band.index;
    }
  }
}

}  // namespace
}  // namespace quorvel::testing
