#include <windows.h>

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "common/utf8_path.h"
#include "common/wide_text.h"
#include "visa/system/library_probe.h"

namespace quorvel {

namespace {

// At most this many other implementations are listed.
constexpr std::size_t kMaxImplementations = 64;

std::filesystem::path SystemFolder() {
  wchar_t folder[MAX_PATH] = {};
  const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return {};
  return std::filesystem::path(std::wstring(folder, length));
}

std::filesystem::path FolderFromEnvironment(const wchar_t* variable) {
  const wchar_t* value = ::_wgetenv(variable);
  return value != nullptr ? std::filesystem::path(value) : std::filesystem::path();
}

bool NamesVisaDll(const std::filesystem::path& file) {
  std::string name = Utf8FromPath(file.filename());
  std::transform(name.begin(), name.end(), name.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return name.find("visa") != std::string::npos && name.ends_with(".dll");
}

}  // namespace

std::string LocateLibrary(const std::string& file) {
  std::error_code error;
  const bool bareName = file.find_first_of("\\/:") == std::string::npos;
  // A bare name is loaded from the system folder only.
  const std::filesystem::path path =
      bareName ? SystemFolder() / PathFromUtf8(file) : PathFromUtf8(file);
  return std::filesystem::exists(path, error) ? Utf8FromPath(path) : std::string();
}

std::vector<std::string> UnloadableImports(const std::string& file) {
  // Error 126 (module not found) names no module: each DLL the
  // library imports is looked for as the loader would, beside the library
  // first, then in the default folders.
  const std::filesystem::path folder = PathFromUtf8(file).parent_path();
  std::vector<std::string> missing;
  for (const std::string& import : ReadPeImports(file)) {
    std::error_code error;
    if (std::filesystem::exists(folder / PathFromUtf8(import), error)) continue;
    const std::optional<std::wstring> wide = WideFromUtf8(import);
    HMODULE module =
        wide ? LoadLibraryExW(wide->c_str(), nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS) : nullptr;
    if (module == nullptr) {
      missing.push_back(import);
    } else {
      FreeLibrary(module);
    }
  }
  return missing;
}

std::vector<std::string> OtherVisaImplementations() {
  // visa32.dll and visa64.dll in the system folders are the shared entry
  // points; the vendors' own implementations sit beside them or in the VISA
  // framework folders under Program Files (IVI Foundation VPP-6, installation
  // and packaging: <Program Files>\IVI Foundation\VISA\Win64\Bin for 64-bit,
  // WinNT\Bin for 32-bit; https://www.ivifoundation.org/).
  const std::filesystem::path programFiles = FolderFromEnvironment(L"ProgramFiles");
  const std::filesystem::path programFilesX86 = FolderFromEnvironment(L"ProgramFiles(x86)");
  const std::filesystem::path windows = SystemFolder().parent_path();
  std::vector<std::filesystem::path> folders = {SystemFolder(), windows / L"SysWOW64"};
  if (!programFiles.empty()) {
    folders.push_back(programFiles / L"IVI Foundation" / L"VISA" / L"Win64" / L"Bin");
  }
  if (!programFilesX86.empty()) {
    folders.push_back(programFilesX86 / L"IVI Foundation" / L"VISA" / L"WinNT" / L"Bin");
  }
  std::vector<std::string> found;
  for (const std::filesystem::path& folder : folders) {
    std::error_code error;
    for (std::filesystem::directory_iterator entry(folder, error), end;
         !error && entry != end && found.size() < kMaxImplementations; entry.increment(error)) {
      if (entry->is_regular_file(error) && NamesVisaDll(entry->path())) {
        found.push_back(Utf8FromPath(entry->path()));
      }
    }
  }
  return found;
}

}  // namespace quorvel
