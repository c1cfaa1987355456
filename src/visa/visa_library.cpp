#include "visa/visa_library.h"

#include <algorithm>
#include <array>
#include <functional>
#include <limits>
#include <string>

#include "common/message_text.h"
#include "sim/sim_visa.h"
#include "visa/handle_table.h"
#include "visa/usbtmc/usbtmc_visa.h"

namespace quorvel {

namespace {

// Formats longer than this are refused rather than scanned without end.
constexpr std::size_t kMaxFormatLength = 4096;

// The format's text with "%%" turned into '%'; nullopt when it holds a conversion.
std::optional<std::string> PlainFormatText(std::string_view format) {
  std::string text;
  for (std::size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%') {
      text += format[i];
    } else if (i + 1 < format.size() && format[i + 1] == '%') {
      text += '%';
      ++i;
    } else {
      return std::nullopt;
    }
  }
  return text;
}

}  // namespace

ViStatus VisaLibrary::viPrintf(ViSession session, const ViChar* format) {
  const auto formatText = BoundedCString(format, kMaxFormatLength);
  if (!formatText) return VI_ERROR_INV_PARAMETER;
  const auto text = PlainFormatText(*formatText);
  if (!text) return VI_ERROR_NSUP_FMT;
  if (text->size() > std::numeric_limits<ViUInt32>::max()) return VI_ERROR_INV_PARAMETER;
  ViUInt32 written = 0;
  const ViStatus status = viWrite(session, reinterpret_cast<const ViByte*>(text->data()),
                                  static_cast<ViUInt32>(text->size()), &written);
  if (ViSucceeded(status) && written != text->size()) return VI_ERROR_IO;
  return status;
}

ViStatus VisaLibrary::viScanf(ViSession session, const ViChar* format, ViChar* buffer,
                              std::size_t bufferSize) {
  if (buffer == nullptr || bufferSize == 0) return VI_ERROR_INV_PARAMETER;
  buffer[0] = '\0';
  const auto formatText = BoundedCString(format, kMaxFormatLength);
  if (!formatText) return VI_ERROR_INV_PARAMETER;
  if (*formatText != "%t") return VI_ERROR_NSUP_FMT;

  // One byte stays free for the terminating NUL.
  const std::size_t room =
      std::min<std::size_t>(bufferSize - 1, std::numeric_limits<ViUInt32>::max());
  if (room == 0) return VI_ERROR_INV_PARAMETER;
  ViUInt32 received = 0;
  const ViStatus status =
      viRead(session, reinterpret_cast<ViByte*>(buffer), static_cast<ViUInt32>(room), &received);
  buffer[std::min<std::size_t>(received, room)] = '\0';
  return status;
}

namespace {

using BackendFactory =
    std::function<std::unique_ptr<VisaLibrary>(std::string_view options, Clock&, std::string*)>;

struct Backend {
  std::string_view name;
  BackendFactory make;
};

std::unique_ptr<VisaLibrary> MakeSim(std::string_view options, Clock& clock, std::string* error) {
  auto config = SimConfig::Parse(options, error);
  if (!config) return nullptr;
  return std::make_unique<SimVisa>(std::move(*config), clock);
}

BackendFactory NotBuiltYet(std::string message) {
  return [message](std::string_view, Clock&, std::string* error) -> std::unique_ptr<VisaLibrary> {
    *error = message;
    return nullptr;
  };
}

// Every backend by name; "name" or "name:options" selects one.
const std::array<Backend, 3>& Backends() {
  static const std::array<Backend, 3> backends = {{
      {"sim", MakeSim},
      {"usbtmc", MakeUsbtmcVisa},
      {"system", NotBuiltYet("the system VISA backend is not built yet")},
  }};
  return backends;
}

}  // namespace

std::unique_ptr<VisaLibrary> MakeVisaLibrary(std::string_view name, Clock& clock,
                                             std::string* error) {
  std::string ignored;
  if (error == nullptr) error = &ignored;
  const std::size_t colon = name.find(':');
  const std::string_view backendName = name.substr(0, colon);
  const std::string_view options =
      colon == std::string_view::npos ? std::string_view{} : name.substr(colon + 1);

  std::string known;
  for (const Backend& backend : Backends()) {
    if (backend.name == backendName) return backend.make(options, clock, error);
    known += known.empty() ? "" : ", ";
    known += backend.name;
  }
  *error = "unknown VISA backend \"" + ArgumentForMessage(backendName) + "\" (known: " + known + ")";
  return nullptr;
}

}  // namespace quorvel
