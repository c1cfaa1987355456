// The layouts are given in dialog units; whatever the platform font, no text
// may end up cut off.
#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>

#include "backends/backends.h"
#include "common/clock.h"
#include "console/about_box.h"
#include "firmware/file_source.h"
#include "console/log_edit.h"
#include "dialog_harness.h"

namespace quorvel::testing {
namespace {

TEST(Layout, AboutBoxTextsFitTheirPlaces) {
  VirtualClock clock;
  std::string error;
  const std::unique_ptr<VisaLibrary> visa = MakeVisaLibrary("sim", clock, &error);
  DiskFileSystem files;
  const WindowSetup setup{.visa = *visa,
                          .clock = clock,
                          .files = files,
                          .backend = "system",
                          .visaLibraryPath = "/opt/vendor/visa/lib64/libvisa-with-a-long-name.so.25",
                          .documentation = "/usr/share/doc/quorvel and man quorvel"};
  for (const std::vector<std::string>& lines : {AboutLines(nullptr), AboutLines(&setup)}) {
    AboutBox about(nullptr, lines);
    const auto labels = about.findChildren<QLabel*>();
    std::vector<std::string> texts;
    for (const QLabel* label : labels) {
      if (label->text().isEmpty()) {
        EXPECT_FALSE(label->pixmap().isNull()) << "the icon is missing";
        continue;
      }
      texts.push_back(label->text().toStdString());
      EXPECT_LE(label->sizeHint().width(), label->width()) << texts.back();
      EXPECT_LE(label->sizeHint().height(), label->height()) << texts.back();
      EXPECT_TRUE(about.rect().contains(label->geometry())) << texts.back();
    }
    EXPECT_NE(std::find(texts.begin(), texts.end(), "Quorvel Version 2.2.1"), texts.end());
    EXPECT_EQ(about.windowTitle(), "About Quorvel");
    EXPECT_EQ(texts, lines);
    const auto buttons = about.findChildren<QPushButton*>();
    ASSERT_EQ(buttons.size(), 1);
    EXPECT_EQ(buttons[0]->text(), "OK");
    EXPECT_TRUE(about.rect().contains(buttons[0]->geometry()));
  }
}

TEST(Layout, EveryButtonCaptionFitsItsButton) {
  DialogHarness harness;
  UpdateDialog& dialog = harness.dialog();
  EXPECT_EQ(dialog.windowTitle(), "Quorvel ( USBTMC ) Version 2.2.1");
  for (const ConsoleButton which : {ConsoleButton::kSelect, ConsoleButton::kExit}) {
    QPushButton& button = dialog.button(which);
    for (const char* caption : {"Select", "Continue", "Exit", "OK"}) {
      button.setText(QString::fromLatin1(caption));
      EXPECT_LE(button.fontMetrics().horizontalAdvance(button.text()), button.width() - 8)
          << caption;
    }
    EXPECT_TRUE(dialog.rect().contains(button.geometry()));
  }
  EXPECT_TRUE(dialog.rect().contains(dialog.log().geometry()));
}

// The designed size is the smallest; a larger window gives the log the room.
TEST(Layout, TheLogTakesWhatTheWindowGrowsBy) {
  DialogHarness harness;
  harness.Start();
  UpdateDialog& dialog = harness.dialog();
  const QSize designed = dialog.size();
  EXPECT_EQ(dialog.minimumSize(), designed);
  EXPECT_GT(dialog.maximumWidth(), designed.width());
  const QRect log = dialog.log().geometry();
  const QRect exit = dialog.button(ConsoleButton::kExit).geometry();

  dialog.resize(designed + QSize(300, 200));
  EXPECT_EQ(dialog.log().geometry(), log.adjusted(0, 0, 300, 200));
  EXPECT_EQ(dialog.button(ConsoleButton::kExit).geometry(), exit.translated(150, 200));
  EXPECT_TRUE(dialog.rect().contains(dialog.button(ConsoleButton::kExit).geometry()));
}

}  // namespace
}  // namespace quorvel::testing
