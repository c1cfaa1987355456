#pragma once
// A console nobody watches: it shows nothing, answers every box with OK and
// every file chooser with "cancelled". Programs that run a procedure without a
// window (the doctor's meter query, the fuzz targets, the benchmarks) start
// from it and override only what they need.
#include <optional>
#include <string>
#include <string_view>

#include "common/operator_console.h"

namespace quorvel {

class SilentConsole : public OperatorConsole {
 public:
  void AppendLog(std::string_view) override {}
  void ClearLog() override {}
  bool PumpMessages() override { return true; }
  void SetButtonCaption(ConsoleButton, std::string_view) override {}
  void EnableButton(ConsoleButton, bool) override {}
  void ShowButton(ConsoleButton, bool) override {}
  MessageResult ShowMessageBox(const MessageBoxRequest&) override { return MessageResult::kOk; }
  std::optional<std::string> ChooseFile(std::string_view) override { return std::nullopt; }
  void Repaint() override {}
  void ReportProgress(const ProgressReport&) override {}
};

}  // namespace quorvel
