#pragma once
// The open-file chooser for firmware files.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class QWidget;

namespace quorvel {

struct FileFilterEntry {
  std::string label;                  // shown to the operator as it stands
  std::vector<std::string> patterns;  // e.g. "*.pak", "*.bin"
};

// Reads a pattern list in the form "label|pat;pat|label|pat||". Entries whose
// label or patterns are missing are dropped.
std::vector<FileFilterEntry> ParseFileFilter(std::string_view filter);

// Asks for an existing file with the given filter, its first entry selected,
// starting in the folder of the file chosen last (remembered across runs).
// The full path, or nothing when the operator cancels.
std::optional<std::string> ChooseFirmwareFile(QWidget* owner, std::string_view filter);

}  // namespace quorvel
