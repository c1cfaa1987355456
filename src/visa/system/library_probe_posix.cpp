#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "visa/system/library_probe.h"

namespace quorvel {

namespace {

// The folders the loader searches without being told (besides its cache, which
// only the loader reads): those of LD_LIBRARY_PATH first, then the system's.
std::vector<std::string> LoaderFolders() {
  std::vector<std::string> folders;
  if (const char* path = std::getenv("LD_LIBRARY_PATH"); path != nullptr) {
    std::stringstream list(path);
    for (std::string folder; std::getline(list, folder, ':');) {
      if (!folder.empty()) folders.push_back(folder);
    }
  }
  for (const char* folder :
       {"/lib", "/usr/lib", "/lib64", "/usr/lib64", "/usr/local/lib", "/lib/x86_64-linux-gnu",
        "/usr/lib/x86_64-linux-gnu", "/lib/aarch64-linux-gnu", "/usr/lib/aarch64-linux-gnu"}) {
    folders.emplace_back(folder);
  }
  return folders;
}

}  // namespace

std::string LocateLibrary(const std::string& file) {
  std::error_code error;
  if (file.find('/') != std::string::npos) {
    return std::filesystem::exists(file, error) ? file : std::string();
  }
  for (const std::string& folder : LoaderFolders()) {
    const std::string path = folder + "/" + file;
    if (std::filesystem::exists(path, error)) return path;
  }
  return {};
}

// The loader's own message names a missing dependency on Linux.
std::vector<std::string> UnloadableImports(const std::string&) { return {}; }

std::vector<std::string> OtherVisaImplementations() { return {}; }

}  // namespace quorvel
