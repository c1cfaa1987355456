#pragma once
// Telling well-formed UTF-8 from other bytes, for text that came from a file or
// the meter and is about to be printed or written as JSON.
#include <cstddef>
#include <string_view>

namespace quorvel {

// Length of the well-formed UTF-8 sequence that starts at text[at], or 0 when
// the bytes there do not form one (overlong forms and surrogates count as bad).
std::size_t Utf8SequenceLength(std::string_view text, std::size_t at);

}  // namespace quorvel
