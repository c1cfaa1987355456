#include "common/message_text.h"

namespace quorvel {

std::string ArgumentForMessage(std::string_view argument) {
  if (argument.size() <= kMostArgumentCharacters) return std::string(argument);
  std::size_t cut = kMostArgumentCharacters;
  // Never split a UTF-8 sequence: back up over its continuation bytes.
  while (cut > 0 && (static_cast<unsigned char>(argument[cut]) & 0xC0) == 0x80) --cut;
  return std::string(argument.substr(0, cut)) + "...";
}

std::string AsSentence(std::string message) {
  if (!message.empty() && message[0] >= 'a' && message[0] <= 'z') {
    message[0] = static_cast<char>(message[0] - 'a' + 'A');
  }
  return message;
}

}  // namespace quorvel
