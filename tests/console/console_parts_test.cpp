// The window's building blocks that need no meter: layout units, background
// greys, the progress text, the chooser's filter, the start-up options and
// the check for a display.
#include <gtest/gtest.h>

#include <QImage>
#include <QPainter>
#include <QProcess>
#include <map>
#include <cstdlib>

#include "backends/open_backend.h"
#include "console/desktop_session.h"
#include "console/dialog_units.h"
#include "console/file_chooser.h"
#include "console/gradient.h"
#include "console/status_strip.h"
#include "presenter/progress_text.h"
#include "console/updater_app.h"

namespace quorvel {
namespace {

TEST(DialogUnits, ScaleWithTheFontAndRoundToNearest) {
  // A font 6 pixels wide on average and 13 high, the classic dialog font.
  const DialogUnits classic(6, 13);
  EXPECT_EQ(classic.Size(320, 116), QSize(480, 189));  // 188.5 rounds up
  EXPECT_EQ(classic.Rect(109, 95, 50, 14), QRect(164, 154, 75, 23));
  const DialogUnits larger(7, 17);
  EXPECT_EQ(larger.Size(320, 116), QSize(560, 247));
  EXPECT_EQ(ScaleRounded(-3, 1, 2), -2);
}

TEST(Gradient, ZeroHeightPaintsNothing) {
  QImage image(40, 20, QImage::Format_RGB32);
  image.fill(Qt::red);
  QPainter painter(&image);
  PaintGradient(painter, 40, 0);
  painter.end();
  EXPECT_EQ(image.pixelColor(5, 5), QColor(Qt::red));
}

TEST(Gradient, LastBandRunsPastTheBottomAndShortAreasStillDarken) {
  QImage image(30, 25, QImage::Format_RGB32);
  image.fill(Qt::red);
  QPainter painter(&image);
  PaintGradient(painter, 30, 25);
  painter.end();
  // Bands at 0, 10 and 20: 255, 255 - 508 / 10 (= 205), 255 - 1016 / 10 (= 154).
  EXPECT_EQ(image.pixelColor(29, 0), QColor(255, 255, 255));
  EXPECT_EQ(image.pixelColor(0, 15), QColor(205, 205, 205));
  EXPECT_EQ(image.pixelColor(15, 24), QColor(154, 154, 154));
}

TEST(ProgressText, DescribesTheCurrentImage) {
  struct Case {
    ProgressReport report;
    const char* text;
  };
  const Case cases[] = {
      {{0, 4800, 1, 1, false}, "0% \u00b7 0 of 4800 bytes \u00b7 0:02 left"},
      {{2400, 4800, 1, 1, false}, "50% \u00b7 2400 of 4800 bytes \u00b7 0:01 left"},
      // A last frame of 1 byte still takes a whole frame's time; part of a
      // second left shows as a whole one.
      {{240, 481, 1, 1, false}, "49% \u00b7 240 of 481 bytes \u00b7 0:01 left"},
      {{0, 240 * 700, 2, 3, false},
       "Image 2 of 3 \u00b7 0% \u00b7 0 of 168000 bytes \u00b7 1:10 left"},
      // A report past the end is shown as complete, not beyond it.
      {{9000, 4800, 1, 1, false}, "100% \u00b7 4800 of 4800 bytes \u00b7 0:00 left"},
      {{0, 0, 1, 1, false}, "0% \u00b7 0 of 0 bytes \u00b7 0:00 left"},
      {{0, 240 * 9, 1, 1, false}, "0% \u00b7 0 of 2160 bytes \u00b7 0:01 left"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DescribeProgress(c.report), c.text);
  }
}

TEST(ProgressText, TimeLeftCountsWholeFrames) {
  EXPECT_EQ(EstimateTimeLeft({240, 481, 1, 1, false}), Millis{200});
  EXPECT_EQ(EstimateTimeLeft({0, 240, 1, 1, false}), Millis{100});
  EXPECT_EQ(EstimateTimeLeft({0, 240, 1, 1, true}), Millis{0});
  EXPECT_EQ(ProgressPercent({0, 0, 1, 1, true}), 100);
}

// Each kind of strip reads well on a light and on a dark window, and success
// and failure are not told apart by colour alone but still look different.
TEST(StatusStrip, EveryKindKeepsItsContrastInALightAndADarkPalette) {
  QPalette light;
  light.setColor(QPalette::Window, QColor(0xf0, 0xf0, 0xf0));
  QPalette dark;
  dark.setColor(QPalette::Window, QColor(0x2d, 0x2d, 0x2d));
  for (const QPalette& palette : {light, dark}) {
    for (const StripKind kind :
         {StripKind::kInfo, StripKind::kSuccess, StripKind::kFailure, StripKind::kWarning}) {
      const StripLook look = LookOf(kind, palette);
      EXPECT_GE(ContrastRatio(look.text, look.background), 4.5)
          << "kind " << static_cast<int>(kind) << " on window "
          << palette.color(QPalette::Window).name().toStdString();
    }
    EXPECT_NE(LookOf(StripKind::kSuccess, palette).background,
              LookOf(StripKind::kFailure, palette).background);
  }
  EXPECT_NEAR(ContrastRatio(Qt::black, Qt::white), 21.0, 0.01);
  EXPECT_NEAR(ContrastRatio(Qt::white, Qt::white), 1.0, 0.01);
}

TEST(FileFilter, KeepsTheLabelsAndSplitsThePatterns) {
  const auto entries = ParseFileFilter(kFirmwareFileFilter);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].label, "Meter Update Files (*.pak;*.bin)");
  EXPECT_EQ(entries[0].patterns, (std::vector<std::string>{"*.pak", "*.bin"}));
  EXPECT_EQ(entries[1].label, "Meter Binary Files(*.bin)");
  EXPECT_EQ(entries[1].patterns, (std::vector<std::string>{"*.bin"}));
}

TEST(FileFilter, IncompleteEntriesAreDropped) {
  EXPECT_TRUE(ParseFileFilter("").empty());
  EXPECT_TRUE(ParseFileFilter("||").empty());
  EXPECT_TRUE(ParseFileFilter("Label only").empty());
  const auto entries = ParseFileFilter("A|*.a;;*.b|B||C|*.c");
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].patterns, (std::vector<std::string>{"*.a", "*.b"}));
  EXPECT_EQ(entries[1].label, "C");
}

TEST(BackendChoice, CommandLineThenEnvironmentThenDefault) {
  struct Case {
    std::optional<std::string> option;
    const char* environment;
    const char* chosen;
  };
  const Case cases[] = {
      {std::nullopt, nullptr, "usbtmc"},
      {std::nullopt, "", "usbtmc"},
      {std::nullopt, "sim:absent=1", "sim:absent=1"},
      {"usbtmc", "sim:absent=1", "usbtmc"},
      {"", "sim", ""},  // an empty --visa is refused later, not replaced
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ChooseVisaBackend(c.option, c.environment), c.chosen);
  }
}

TEST(UpdaterAppStart, BadBackendOrArgumentsEndWithStatusTwo) {
  struct Case {
    QStringList arguments;
    bool warns;  // an unusable backend is also told in a message box
  };
  const Case cases[] = {
      {{"quorvel", "--visa", "nonsense"}, true},
      {{"quorvel", "--visa", "sim:nonsense=1"}, true},
      {{"quorvel", "--no-such-option"}, false},
      {{"quorvel", "stray"}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments.join(' ').toStdString());
    std::vector<MessageBoxRequest> boxes;
    ConsoleHooks hooks;
    hooks.showMessageBox = [&boxes](QWidget*, const MessageBoxRequest& request) {
      boxes.push_back(request);
      return MessageResult::kOk;
    };
    EXPECT_EQ(UpdaterApp(hooks).Run(c.arguments), kExitBadArguments);
    ASSERT_EQ(boxes.size(), c.warns ? 1u : 0u);
    if (c.warns) {
      EXPECT_NE(boxes[0].text.find("VISA backend"), std::string::npos) << boxes[0].text;
      EXPECT_EQ(boxes[0].icon, MessageIcon::kWarning);
      EXPECT_EQ(boxes[0].owner, MessageOwner::kNone);
    }
  }
}

#if !defined(_WIN32) && !defined(__APPLE__)  // there the desktop is always there
TEST(DesktopSession, ADisplayOrAPlatformWithoutOneIsNeeded) {
  struct Case {
    std::vector<std::string> arguments;
    std::map<std::string, std::string> environment;
    bool expected;
  };
  const std::vector<Case> cases = {
      {{"quorvel"}, {}, false},
      {{"quorvel"}, {{"DISPLAY", ":0"}}, true},
      {{"quorvel"}, {{"WAYLAND_DISPLAY", "wayland-0"}}, true},
      {{"quorvel"}, {{"DISPLAY", ""}}, false},
      {{"quorvel"}, {{"QT_QPA_PLATFORM", "offscreen"}}, true},
      {{"quorvel"}, {{"QT_QPA_PLATFORM", "xcb"}}, false},
      {{"quorvel"}, {{"QT_QPA_PLATFORM", "wayland;xcb"}}, false},
      {{"quorvel"}, {{"QT_QPA_PLATFORM", "xcb;vnc:size=800x600"}}, true},
      {{"quorvel", "-platform", "offscreen"}, {}, true},
      {{"quorvel", "--platform", "minimal"}, {}, true},
      {{"quorvel", "-platform", "xcb"}, {{"QT_QPA_PLATFORM", "offscreen"}}, false},
      {{"quorvel", "-display", ":1"}, {}, true},
      {{"quorvel", "-platform"}, {}, false},
  };
  for (const Case& c : cases) {
    std::string name;
    for (const auto& argument : c.arguments) name += argument + " ";
    for (const auto& [key, value] : c.environment) name += key + "=" + value + " ";
    SCOPED_TRACE(name);
    const auto environment = [&c](const char* key) -> const char* {
      const auto found = c.environment.find(key);
      return found == c.environment.end() ? nullptr : found->second.c_str();
    };
    EXPECT_EQ(HasDesktopSession(c.arguments, environment), c.expected);
  }
}

// Without a display Qt would abort the program (status 134) with a message
// about plugins; the program says what it needs instead.
TEST(DesktopSession, WithoutADisplayTheProgramSaysSoAndEndsWithOne) {
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    environment.remove(QString::fromLatin1(name));
  }
  QProcess program;
  program.setProcessEnvironment(environment);
  program.start(QStringLiteral(QUORVEL_PROGRAM), {QStringLiteral("--visa"), QStringLiteral("sim")});
  ASSERT_TRUE(program.waitForFinished(30000));
  EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(program.exitCode(), 1);
  EXPECT_EQ(program.readAllStandardError().toStdString(),
            "quorvel needs a desktop session; for a terminal use quorvel-cli\n");
}
#endif

}  // namespace
}  // namespace quorvel
