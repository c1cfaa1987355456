#include "console/file_chooser.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QSettings>
#include <QFileSystemModel>
#include <QStringList>

namespace quorvel {

namespace {

std::vector<std::string> SplitAt(std::string_view text, char separator) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t end = std::min(text.find(separator, start), text.size());
    parts.emplace_back(text.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

QStringList ToQt(const std::vector<std::string>& texts) {
  QStringList list;
  for (const auto& text : texts) list << QString::fromStdString(text);
  return list;
}

// Qt takes a filter's patterns from the parentheses of its label and splits
// them at blanks only, so a label such as "Files (*.pak;*.bin)" would match
// nothing. The labels stay as they are; the file model gets the real patterns.
void ApplyPatterns(QFileDialog& dialog, const std::vector<FileFilterEntry>& entries,
                   const QString& selectedLabel) {
  auto* model = dialog.findChild<QFileSystemModel*>();
  if (model == nullptr) return;
  for (const auto& entry : entries) {
    if (QString::fromStdString(entry.label) == selectedLabel) {
      model->setNameFilters(ToQt(entry.patterns));
      return;
    }
  }
}

// Where the chooser remembers the folder of the last file chosen, across runs.
constexpr const char* kLastFolderKey = "chooser/firmwareFolder";

QSettings ProgramSettings() {
  return QSettings(QStringLiteral("quorvel"), QStringLiteral("quorvel"));
}

}  // namespace

std::vector<FileFilterEntry> ParseFileFilter(std::string_view filter) {
  const std::vector<std::string> fields = SplitAt(filter, '|');
  std::vector<FileFilterEntry> entries;
  for (std::size_t i = 0; i + 1 < fields.size(); i += 2) {
    if (fields[i].empty() || fields[i + 1].empty()) continue;
    FileFilterEntry entry{fields[i], {}};
    for (auto& pattern : SplitAt(fields[i + 1], ';')) {
      if (!pattern.empty()) entry.patterns.push_back(std::move(pattern));
    }
    entries.push_back(std::move(entry));
  }
  return entries;
}

std::optional<std::string> ChooseFirmwareFile(QWidget* owner, std::string_view filter) {
  const std::vector<FileFilterEntry> entries = ParseFileFilter(filter);
  QStringList labels;
  for (const auto& entry : entries) labels << QString::fromStdString(entry.label);

  QFileDialog dialog(owner);
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  // The operator usually takes the next file from where the last one was.
  const QString lastFolder = ProgramSettings().value(QLatin1String(kLastFolderKey)).toString();
  if (!lastFolder.isEmpty() && QDir(lastFolder).exists()) dialog.setDirectory(lastFolder);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setNameFilters(labels);
  if (!labels.isEmpty()) dialog.selectNameFilter(labels.front());
  ApplyPatterns(dialog, entries, dialog.selectedNameFilter());
  // Queued, so it runs after the dialog has applied its own reading of the label.
  QObject::connect(
      &dialog, &QFileDialog::filterSelected, &dialog,
      [&dialog, &entries](const QString& label) { ApplyPatterns(dialog, entries, label); },
      Qt::QueuedConnection);

  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
    return std::nullopt;
  }
  const QString chosen = dialog.selectedFiles().front();
  ProgramSettings().setValue(QLatin1String(kLastFolderKey), QFileInfo(chosen).absolutePath());
  // The file system's own encoding, so any name the chooser lists can be opened.
  const QByteArray path = QFile::encodeName(chosen);
  return std::string(path.constData(), static_cast<std::size_t>(path.size()));
}

}  // namespace quorvel
