#pragma once
// Environment variables as UTF-8 text on every platform.
#include <optional>
#include <string>

namespace quorvel {

// Nullopt when the variable is not set. Windows keeps the environment in
// UTF-16; the narrow getenv would pass it through the ANSI code page and turn
// every character outside it into '?', so a folder named outside it would be
// another folder.
std::optional<std::string> EnvironmentValue(const char* name);

}  // namespace quorvel
