#pragma once
// The program's texts are UTF-8 std::strings; Qt wants QStrings.
#include <QString>
#include <string_view>

namespace quorvel {

inline QString ToQString(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace quorvel
