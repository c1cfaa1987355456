#include <cstdlib>
#include <string_view>

#include "common/environment.h"
#include "common/wide_text.h"

namespace quorvel {

std::optional<std::string> EnvironmentValue(const char* name) {
  const std::optional<std::wstring> wideName = WideFromUtf8(std::string_view(name));
  if (!wideName) return std::nullopt;
  const wchar_t* value = ::_wgetenv(wideName->c_str());
  if (value == nullptr) return std::nullopt;
  return Utf8FromWide(value);
}

}  // namespace quorvel
