#pragma once
// Windows only: the tool keeps text in UTF-8 and converts to and from the
// UTF-16 of the wide-character Windows calls at the edges.
#include <optional>
#include <string>
#include <string_view>

namespace quorvel {

// Nullopt when the text is not valid UTF-8 or holds a NUL, so a damaged name
// can never be opened as some other file.
std::optional<std::wstring> WideFromUtf8(std::string_view text);

// Unpaired surrogates become U+FFFD.
std::string Utf8FromWide(std::wstring_view text);

}  // namespace quorvel
