#include "visa/visa_library.h"

#include <algorithm>
#include <limits>
#include <string>

#include "visa/handle_table.h"

namespace quorvel {

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

}  // namespace quorvel
