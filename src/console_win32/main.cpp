// quorvel.exe: the Windows desktop program that updates a multimeter's firmware.
#include <windows.h>
// (this comment keeps the include sorter from moving windows.h down)
#include <commctrl.h>
#include <shellapi.h>

#include <iostream>
#include <memory>

#include "backends/backends.h"
#include "backends/open_backend.h"
#include "common/clock.h"
#include "common/environment.h"
#include "common/message_text.h"
#include "common/wide_text.h"
#include "console_win32/program_options.h"
#include "console_win32/update_window.h"
#include "console_win32/win32_dialogs.h"
#include "firmware/file_source.h"
#include "presenter/window_presenter.h"
#include "presenter/window_texts.h"
#include "visa/tracing_visa.h"
#include "visa/visa_library.h"

namespace {

constexpr int kExitBadArguments = 2;  // unknown option or unusable VISA backend
constexpr std::string_view kStartupCaption = quorvel::kProgramName;
// Where About sends the operator for more: the files beside the program.
constexpr std::string_view kDocumentationPlace = "README.md beside quorvel.exe";

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
  quorvel::win32::ShowMessage(nullptr, {quorvel::AsSentence(text), std::string(kStartupCaption), icon,
                                        quorvel::MessageButtons::kOk,
                                        quorvel::MessageOwner::kNone});
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
  const std::optional<std::string> traceVariable =
      quorvel::EnvironmentValue(quorvel::kTraceEnvironmentVariable);
  std::optional<quorvel::OpenedBackend> opened = quorvel::OpenBackend(
      {.name = backend,
       .timeScale = options->timeScale,
       .traceFile = quorvel::ChooseTraceFile(options->trace,
                                             traceVariable ? traceVariable->c_str() : nullptr),
       .traceHeading =
           "quorvel " + std::string(quorvel::kVersionText) + ", backend \"" + backend + "\""},
      &error);
  if (!opened) {
    Tell(error, quorvel::MessageIcon::kWarning);
    return kExitBadArguments;
  }
  quorvel::Clock& clock = *opened->clock;

  quorvel::DiskFileSystem files;
  quorvel::WindowSetup setup{
      .visa = *opened->visa, .clock = clock, .files = files, .backend = backend};
  setup.visaLibraryPath = opened->loadedLibrary;
  setup.documentation = std::string(kDocumentationPlace);
  quorvel::AddInstalledProgramParts(setup);
  quorvel::win32::UpdateWindow window(instance, std::move(setup));
  return window.Run(showCommand);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
  const INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);
  return Run(instance, showCommand);
}
