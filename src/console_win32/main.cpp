// quorvel.exe: the Windows desktop program that updates a multimeter's firmware.
#include <windows.h>
// (this comment keeps the include sorter from moving windows.h down)
#include <commctrl.h>
#include <shellapi.h>

#include <iostream>
#include <memory>

#include "backends/backends.h"
#include "common/clock.h"
#include "common/environment.h"
#include "common/wide_text.h"
#include "console/backend_choice.h"
#include "console/console_texts.h"
#include "console_win32/program_options.h"
#include "console_win32/update_window.h"
#include "console_win32/win32_dialogs.h"
#include "firmware/file_source.h"
#include "history/attempt_record.h"
#include "history/history_file.h"
#include "update/update_report.h"
#include "visa/tracing_visa.h"
#include "visa/visa_library.h"

namespace {

constexpr int kExitBadArguments = 2;  // unknown option or unusable VISA backend
constexpr std::string_view kStartupCaption = "Quorvel";

std::vector<std::string> Utf8Arguments() {
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> arguments;
  if (wide == nullptr) return arguments;
  for (int i = 1; i < count; ++i) arguments.push_back(quorvel::Utf8FromWide(wide[i]));
  LocalFree(wide);
  return arguments;
}

// A GUI program has no console of its own: what it has to say goes in a box,
// and to standard error for whoever started it from a shell.
void Tell(const std::string& text, quorvel::MessageIcon icon) {
  std::cerr << "quorvel: " << text << "\n";
  quorvel::win32::ShowMessage(nullptr, {text, std::string(kStartupCaption), icon,
                                        quorvel::MessageButtons::kOk,
                                        quorvel::MessageOwner::kNone});
}

// The reason the history keeps, in the words the operator saw: the meter's
// status, the refusal, else the warning the procedure ended with.
std::string HistoryReason(const quorvel::UpdateReport& report) {
  std::string reason = quorvel::TransferFailureText(report);
  if (reason.empty()) reason = report.reason;
  if (reason.empty() && report.outcome != quorvel::UpdateOutcome::kInstalled) reason = report.notice;
  return reason;
}

int Run(HINSTANCE instance, int showCommand) {
  std::string error;
  const auto options = quorvel::win32::ParseProgramOptions(Utf8Arguments(), &error);
  if (!options) {
    Tell(error + "\n\n" + quorvel::win32::ProgramUsage(), quorvel::MessageIcon::kWarning);
    return kExitBadArguments;
  }
  if (options->help || options->version) {
    Tell(options->help ? quorvel::win32::ProgramUsage()
                       : "quorvel " + std::string(quorvel::kVersionText),
         quorvel::MessageIcon::kQuestion);
    return 0;
  }

  const std::optional<std::string> visaVariable = quorvel::EnvironmentValue(quorvel::kVisaBackendVariable);
  const std::string backend =
      quorvel::ChooseVisaBackend(options->visa, visaVariable ? visaVariable->c_str() : nullptr);
  quorvel::SteadyClock clock;
  std::unique_ptr<quorvel::VisaLibrary> visa = quorvel::MakeVisaLibrary(backend, clock, &error);
  if (visa == nullptr) {
    Tell("Cannot use the VISA backend \"" + backend + "\": " + error, quorvel::MessageIcon::kWarning);
    return kExitBadArguments;
  }
  const std::optional<std::string> traceVariable =
      quorvel::EnvironmentValue(quorvel::kTraceEnvironmentVariable);
  if (const auto traceFile = quorvel::ChooseTraceFile(
          options->trace, traceVariable ? traceVariable->c_str() : nullptr)) {
    visa = quorvel::TraceToFile(std::move(visa), clock, *traceFile,
                                "quorvel " + std::string(quorvel::kVersionText) + ", backend \"" +
                                    backend + "\"",
                                &error);
    if (visa == nullptr) {
      Tell(error, quorvel::MessageIcon::kWarning);
      return kExitBadArguments;
    }
  }

  quorvel::DiskFileSystem files;
  std::string hint = quorvel::MeterAccessHint(backend);
  hint = hint.empty() ? std::string(quorvel::kAskTheDoctor)
                      : hint + "\n\n" + std::string(quorvel::kAskTheDoctor);
  const auto historyPath = quorvel::DefaultHistoryPath();
  // Every attempt goes into the update history, as the command line's do.
  auto record = [&](const quorvel::UpdateReport& report, const std::optional<std::string>& file) {
    if (!file || !historyPath) return;
    quorvel::HistoryFile history(*historyPath);
    std::string problem;
    if (!quorvel::RecordSelectAttempt(history, {"quorvel", QUORVEL_VERSION, backend}, report, files,
                                      *file, HistoryReason(report), &problem)) {
      std::cerr << "quorvel: the update history was not written: " << problem << "\n";
    }
  };
  quorvel::win32::UpdateWindow window(instance, {*visa, clock, files, hint, record});
  return window.Run(showCommand);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
  const INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);
  return Run(instance, showCommand);
}
