// The real file chooser, driven from inside its modal loop: both filters must
// list the files their labels promise.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <functional>

#include "common/operator_console.h"
#include "console/file_chooser.h"
#include "support/firmware_builder.h"

namespace quorvel::testing {
namespace {

// Runs `act` on the modal dialog once it is up; closes any modal dialog if
// none appears, so that a failing test cannot hang in the modal loop.
void WhenModalAppears(std::function<void(QWidget*)> act, int triesLeft = 300) {
  QTimer::singleShot(10, [act = std::move(act), triesLeft]() mutable {
    if (QWidget* modal = QApplication::activeModalWidget()) {
      act(modal);
      if (QApplication::activeModalWidget() == modal) modal->close();
    } else if (triesLeft > 0) {
      WhenModalAppears(std::move(act), triesLeft - 1);
    } else {
      ADD_FAILURE() << "no modal dialog appeared";
    }
  });
}

// The names the chooser offers in `folder`, sorted.
std::vector<std::string> OfferedNames(QFileSystemModel& model, const QString& folder) {
  const QModelIndex root = model.index(folder);
  std::vector<std::string> names;
  for (int row = 0; row < model.rowCount(root); ++row) {
    const QModelIndex item = model.index(row, 0, root);
    if (model.flags(item).testFlag(Qt::ItemIsEnabled)) {
      names.push_back(model.fileName(item).toStdString());
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST(FileChooser, EachFilterListsItsFilesAndTheChoiceComesBack) {
  TempDir dir;
  const ByteVector someBytes = {1, 2, 3};
  dir.Write("pack.pak", someBytes);
  dir.Write("image.bin", someBytes);
  dir.Write("notes.txt", someBytes);
  const QString folder = QString::fromStdString(dir.path().string());

  std::vector<std::string> withFirstFilter;
  std::vector<std::string> withSecondFilter;
  std::string firstLabel;
  WhenModalAppears([&](QWidget* modal) {
    auto* chooser = qobject_cast<QFileDialog*>(modal);
    ASSERT_NE(chooser, nullptr);
    firstLabel = chooser->selectedNameFilter().toStdString();
    chooser->setDirectory(folder);
    auto* model = chooser->findChild<QFileSystemModel*>();
    ASSERT_NE(model, nullptr);

    EXPECT_TRUE(QTest::qWaitFor([&] { return OfferedNames(*model, folder).size() >= 2; }, 3000));
    withFirstFilter = OfferedNames(*model, folder);

    chooser->selectNameFilter(chooser->nameFilters().value(1));
    EXPECT_TRUE(QTest::qWaitFor([&] { return OfferedNames(*model, folder).size() == 1; }, 3000));
    withSecondFilter = OfferedNames(*model, folder);

    // The chooser leaves a name being typed alone; take the focus from it first.
    if (QWidget* typing = chooser->focusWidget()) typing->clearFocus();
    chooser->selectFile(QStringLiteral("image.bin"));
    QMetaObject::invokeMethod(chooser, "accept");
  });

  const std::optional<std::string> chosen = ChooseFirmwareFile(nullptr, kFirmwareFileFilter);

  EXPECT_EQ(firstLabel, "Meter Update Files (*.pak;*.bin)");
  EXPECT_EQ(withFirstFilter, (std::vector<std::string>{"image.bin", "pack.pak"}));
  EXPECT_EQ(withSecondFilter, (std::vector<std::string>{"image.bin"}));
  EXPECT_EQ(chosen, (dir.path() / "image.bin").string());

  // The next chooser starts where the last file was found.
  QString startedIn;
  WhenModalAppears([&startedIn](QWidget* modal) {
    startedIn = qobject_cast<QFileDialog*>(modal)->directory().absolutePath();
    modal->close();
  });
  ChooseFirmwareFile(nullptr, kFirmwareFileFilter);
  EXPECT_EQ(startedIn, QDir(folder).absolutePath());
}

TEST(FileChooser, CancelGivesNothing) {
  WhenModalAppears([](QWidget* chooser) { chooser->close(); });
  EXPECT_EQ(ChooseFirmwareFile(nullptr, kFirmwareFileFilter), std::nullopt);
}

}  // namespace
}  // namespace quorvel::testing
