#pragma once
// The diagnosis of the installed VISA libraries: every file the `system`
// backend would try, looked at step by step (there or not, its architecture,
// whether it loads, exports what the tool calls, opens a resource manager,
// and who made it), so that "no usable VISA library" gets its reason.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "visa/system/binary_header.h"
#include "visa/system/library_search.h"
#include "visa/visa_types.h"

namespace quorvel {

struct LibraryProbe {
  LibraryCandidate candidate;
  std::string location;  // the file found or loaded; empty when there is none
  std::optional<BinaryArchitecture> architecture;  // read from the file's header
  bool loaded = false;
  std::string loadError;                         // the loader's reason when not loaded
  std::vector<std::string> missingDependencies;  // DLLs it imports that cannot be found (Windows)
  std::vector<std::string> missingFunctions;     // of kRequiredVisaFunctions
  std::optional<ViStatus> resourceManagerStatus;  // viOpenDefaultRM's, when it was called
  // Read from the resource manager where the library answers.
  std::string manufacturer;
  std::optional<std::uint32_t> implementationVersion;
  std::optional<std::uint32_t> visaVersion;

  bool present() const { return !location.empty() || loaded; }
  // A library of another width or processor than this program can never load.
  bool wrongArchitecture() const;
  bool usable() const;
};

// Looks at one candidate as the backend would load it.
LibraryProbe ProbeVisaLibrary(const LibraryCandidate& candidate);

// "5.8.0" for a VISA version number (major, minor, sub-minor).
std::string VisaVersionText(std::uint32_t version);

// Other VISA implementations installed in the usual folders, as paths (Windows
// only: elsewhere the libraries share the loader's search, which the
// candidates already cover).
std::vector<std::string> OtherVisaImplementations();

// Where the platform's loader would find a bare library name, for reading its
// header when it does not load; empty when it finds none.
std::string LocateLibrary(const std::string& file);

// The DLLs that `file` imports and that cannot be loaded (Windows only).
std::vector<std::string> UnloadableImports(const std::string& file);

}  // namespace quorvel
