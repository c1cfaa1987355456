#pragma once
// What to say when the command word is not one of ours: "lsit" is a typing
// slip for "list", and saying so is kinder than "a subcommand is required".
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace quorvel::cli {

// The command `word` was most likely meant to be: the nearest of `commands`
// by edits (an insertion, a deletion, a change, or two neighbours swapped),
// when it is at most two edits away and nearer than any other. Case is ignored.
std::optional<std::string> SuggestCommand(std::string_view word,
                                          std::span<const std::string> commands);

// The whole message, e.g. `unknown command "lsit"; did you mean "list"?`, or
// one that lists the commands when none is near. `word` is escaped.
std::string UnknownCommandMessage(std::string_view word, std::span<const std::string> commands);

// The same for an option, among the long `options` ("--visa", ...) the
// command takes: `unknown option "--jsn"; did you mean "--json"?`. A short
// word none is near ("-v") is taken as the start of the options it begins.
std::string UnknownOptionMessage(std::string_view word, std::span<const std::string> options);

}  // namespace quorvel::cli
