#pragma once
// Paths travel through the tool as UTF-8 strings. Only where one reaches the
// operating system is it converted: on Windows a narrow path would be read in
// the ANSI code page and mangle every name outside it.
#include <filesystem>
#include <string>
#include <string_view>

namespace quorvel {

inline std::filesystem::path PathFromUtf8(std::string_view text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

inline std::string Utf8FromPath(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

}  // namespace quorvel
