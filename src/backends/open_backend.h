#pragma once
// What every front end does before its first VISA call: the clock (scaled only
// for a simulated meter), the backend by name, and the trace when one is asked
// for. One place, so that the window, the Windows window and the command line
// accept and refuse the same things in the same words.
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "backends/backends.h"
#include "common/clock.h"
#include "visa/visa_library.h"

namespace quorvel {

// The backend's name: the command line's, else the environment's when set and
// not empty, else the default.
std::string ChooseVisaBackend(const std::optional<std::string>& commandLine,
                              const char* environment);

struct BackendSetup {
  std::string name{kDefaultVisaBackend};
  std::optional<double> timeScale{};     // only a simulated meter accepts one
  std::optional<std::string> traceFile{};  // every VISA call goes there
  std::string traceHeading{};              // the trace's first line: who wrote it
  BackendHooks hooks{};
  std::function<bool()> stopRequested{};  // lets the trace end a stopped run cleanly
};

// The library may read the clock (the simulated meter does), so the clock is
// declared first and outlives it.
struct OpenedBackend {
  std::unique_ptr<Clock> clock;
  std::unique_ptr<VisaLibrary> visa;  // traced when a trace file was asked for
  std::string loadedLibrary;          // the installed VISA library's file, for About
};

// Nothing, and a message in *error, when the name, a knob, the time scale or
// the trace file is not usable.
std::optional<OpenedBackend> OpenBackend(const BackendSetup& setup, std::string* error);

}  // namespace quorvel
