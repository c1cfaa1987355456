#include "cli/command_suggestion.h"

#include <algorithm>
#include <cctype>
#include <vector>

#include "common/printable_text.h"

namespace quorvel::cli {

namespace {

// Further than this and the word is not a slip but another word.
constexpr std::size_t kMostEdits = 2;
// Longer words are not command slips; this also bounds the work below.
constexpr std::size_t kLongestWord = 64;

char Folded(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

// Edits between a and b, counting a swap of two neighbours as one.
std::size_t EditDistance(std::string_view a, std::string_view b) {
  const std::size_t columns = b.size() + 1;
  std::vector<std::size_t> d((a.size() + 1) * columns);
  const auto at = [&](std::size_t i, std::size_t j) -> std::size_t& { return d[i * columns + j]; };
  for (std::size_t i = 0; i <= a.size(); ++i) at(i, 0) = i;
  for (std::size_t j = 0; j <= b.size(); ++j) at(0, j) = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t change = Folded(a[i - 1]) == Folded(b[j - 1]) ? 0 : 1;
      at(i, j) = std::min({at(i - 1, j) + 1, at(i, j - 1) + 1, at(i - 1, j - 1) + change});
      if (i > 1 && j > 1 && Folded(a[i - 1]) == Folded(b[j - 2]) &&
          Folded(a[i - 2]) == Folded(b[j - 1])) {
        at(i, j) = std::min(at(i, j), at(i - 2, j - 2) + 1);
      }
    }
  }
  return at(a.size(), b.size());
}

}  // namespace

std::optional<std::string> SuggestCommand(std::string_view word,
                                          std::span<const std::string> commands) {
  if (word.empty() || word.size() > kLongestWord) return std::nullopt;
  std::optional<std::string> best;
  std::size_t bestDistance = kMostEdits + 1;
  bool tied = false;
  for (const std::string& command : commands) {
    const std::size_t distance = EditDistance(word, command);
    if (distance < bestDistance) {
      best = command;
      bestDistance = distance;
      tied = false;
    } else if (distance == bestDistance) {
      tied = true;
    }
  }
  if (tied) return std::nullopt;  // two commands equally near: guessing would mislead
  return best;
}

std::string UnknownCommandMessage(std::string_view word, std::span<const std::string> commands) {
  std::string message = "unknown command \"" + PrintableField(word) + "\"";
  if (const std::optional<std::string> meant = SuggestCommand(word, commands)) {
    return message + "; did you mean \"" + *meant + "\"?";
  }
  message += "; the commands are";
  for (std::size_t i = 0; i < commands.size(); ++i) message += (i == 0 ? " " : ", ") + commands[i];
  return message + " (see --help)";
}

std::string UnknownOptionMessage(std::string_view word, std::span<const std::string> options) {
  const std::string message = "unknown option \"" + PrintableField(word) + "\"";
  if (const std::optional<std::string> meant = SuggestCommand(word, options)) {
    return message + "; did you mean \"" + *meant + "\"?";
  }
  std::string_view bare = word.substr(std::min(word.find_first_not_of('-'), word.size()));
  std::vector<std::string> begun;
  for (const std::string& option : options) {
    const std::string_view name = std::string_view(option).substr(2);
    if (!bare.empty() && name.substr(0, bare.size()) == bare) begun.push_back(option);
  }
  if (begun.empty()) return message + " (see --help)";
  std::string choices;
  for (std::size_t i = 0; i < begun.size(); ++i) {
    choices += (i == 0 ? "" : i + 1 == begun.size() ? " or " : ", ") + ("\"" + begun[i] + "\"");
  }
  return message + "; did you mean " + choices + "?";
}

}  // namespace quorvel::cli
