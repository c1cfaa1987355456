#include "visa/system/library_search.h"

#include "common/environment.h"

namespace quorvel {

namespace {

// Where a VISA library is looked for when none is named, in order.
std::vector<LibraryCandidate> UsualPlaces() {
#if defined(_WIN32)
  // The VISA installers put the library into the system folder under the
  // name of its bitness; a 64-bit program cannot load visa32.dll.
#if defined(_WIN64)
  return {{"visa64.dll", "the VISA installers' name, in the system folder"}};
#else
  return {{"visa32.dll", "the VISA installers' name, in the system folder"}};
#endif
#elif defined(__APPLE__)
  return {{"/Library/Frameworks/VISA.framework/VISA", "where VISA installs on macOS"}};
#else
  // The loader's own search (LD_LIBRARY_PATH, the ld.so cache, the system
  // folders) for the names vendors install: the shared VISA name first, then
  // Rohde & Schwarz's and Keysight's own. Then the folders vendors install
  // into without always telling the loader.
  return {
      {"libvisa.so.0", "the shared VISA name, through the loader's search"},
      {"libvisa.so", "the shared VISA name, through the loader's search"},
      {"librsvisa.so", "Rohde & Schwarz's name, through the loader's search"},
      {"libiovisa.so", "Keysight's name, through the loader's search"},
      // NI-VISA's 64-bit library in its own tree; distributions' packages of
      // it link /usr/lib/libvisa.so here (Arch Linux's ni-visa package,
      // https://aur.archlinux.org/packages/ni-visa).
      {"/usr/local/vxipnp/linux/lib64/libvisa.so", "NI-VISA's install folder"},
  };
#endif
}

std::string LibraryNamedInEnvironment() {
  return EnvironmentValue(kVisaLibraryVariable).value_or(std::string());
}

}  // namespace

std::optional<std::vector<LibraryCandidate>> SystemLibrarySearch(std::string_view options,
                                                                 std::string* error) {
  if (options.starts_with("path=")) {
    std::string file(options.substr(5));
    if (file.empty()) {
      *error = "system:path= needs a file";
      return std::nullopt;
    }
    return std::vector<LibraryCandidate>{{std::move(file), "named with --visa system:path=", true}};
  }
  if (!options.empty()) {
    *error = "unknown option \"" + std::string(options) + "\" (the system backend takes path=FILE)";
    return std::nullopt;
  }
  if (std::string named = LibraryNamedInEnvironment(); !named.empty()) {
    return std::vector<LibraryCandidate>{
        {std::move(named), std::string("named by ") + kVisaLibraryVariable, true}};
  }
  return UsualPlaces();
}

}  // namespace quorvel
