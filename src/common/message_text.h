#pragma once
// Arguments quoted in error messages: a mistyped option can be megabytes
// long, and the message must stay readable.
#include <cstddef>
#include <string>
#include <string_view>

namespace quorvel {

inline constexpr std::size_t kMostArgumentCharacters = 200;

// `argument` as it may appear in a message: whole when it has at most 200
// characters, otherwise its first 200 followed by "...".
std::string ArgumentForMessage(std::string_view argument);

// A message as a window's box starts it: its first letter (ASCII) in capitals.
// The command line's messages follow its program name in lower case.
std::string AsSentence(std::string message);

}  // namespace quorvel
