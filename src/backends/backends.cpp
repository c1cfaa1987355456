#include "backends/backends.h"

#include <array>
#include <functional>

#include "common/message_text.h"
#include "sim/sim_visa.h"
#include "visa/replay/replay_visa.h"
#include "visa/system/system_visa.h"
#ifndef _WIN32
#include "visa/usbtmc/usbtmc_permission.h"
#include "visa/usbtmc/usbtmc_visa.h"
#endif

namespace quorvel {

namespace {

using BackendFactory = std::function<std::unique_ptr<VisaLibrary>(
    std::string_view options, Clock&, std::string*, const BackendHooks&)>;

struct Backend {
  std::string_view name;
  BackendFactory make;
};

std::unique_ptr<VisaLibrary> MakeSim(std::string_view options, Clock& clock, std::string* error,
                                     const BackendHooks&) {
  auto config = SimConfig::Parse(options, error);
  if (!config) return nullptr;
  return std::make_unique<SimVisa>(std::move(*config), clock);
}

// An installed library keeps its own time; it never reads the tool's clock.
std::unique_ptr<VisaLibrary> MakeSystem(std::string_view options, Clock&, std::string* error,
                                        const BackendHooks&) {
  return MakeSystemVisa(options, error);
}

#ifndef _WIN32
std::unique_ptr<VisaLibrary> MakeUsbtmc(std::string_view options, Clock& clock,
                                        std::string* error, const BackendHooks&) {
  return MakeUsbtmcVisa(options, clock, error);
}
#endif

std::unique_ptr<VisaLibrary> MakeReplay(std::string_view file, Clock& clock, std::string* error,
                                        const BackendHooks& hooks) {
  return MakeReplayVisa(file, clock, {.requestStop = hooks.requestStop, .difference = {}}, error);
}

#ifdef _WIN32
std::unique_ptr<VisaLibrary> RefuseUsbtmc(std::string_view, Clock&, std::string* error,
                                          const BackendHooks&) {
  *error = std::string(kUsbtmcLinuxOnly);
  return nullptr;
}
#endif

// Every backend by name; "name" or "name:options" selects one.
const std::array<Backend, 4>& Backends() {
  static const std::array<Backend, 4> backends = {{
      {"sim", MakeSim},
#ifdef _WIN32
      {"usbtmc", RefuseUsbtmc},
#else
      {"usbtmc", MakeUsbtmc},
#endif
      {"system", MakeSystem},
      {"replay", MakeReplay},
  }};
  return backends;
}

}  // namespace

std::unique_ptr<VisaLibrary> MakeVisaLibrary(std::string_view name, Clock& clock,
                                             std::string* error, const BackendHooks& hooks) {
  std::string ignored;
  if (error == nullptr) error = &ignored;
  const std::size_t colon = name.find(':');
  const std::string_view backendName = name.substr(0, colon);
  const std::string_view options =
      colon == std::string_view::npos ? std::string_view{} : name.substr(colon + 1);

  std::string known;
  for (const Backend& backend : Backends()) {
    if (backend.name == backendName) return backend.make(options, clock, error, hooks);
    known += known.empty() ? "" : ", ";
    known += backend.name;
  }
  *error = "unknown VISA backend \"" + ArgumentForMessage(backendName) + "\" (known: " + known + ")";
  return nullptr;
}

bool IsVisaBackendName(std::string_view name) {
  const std::string_view backendName = name.substr(0, name.find(':'));
  for (const Backend& backend : Backends()) {
    if (backend.name == backendName) return true;
  }
  return false;
}

std::string MeterAccessHint(std::string_view backendName) {
#ifndef _WIN32
  if (backendName.substr(0, backendName.find(':')) == "usbtmc") return UsbtmcPermissionHint();
#else
  (void)backendName;
#endif
  return {};
}

}  // namespace quorvel
