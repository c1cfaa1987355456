#include "visa/system/library_probe.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "visa/system/shared_library.h"
#include "visa/system/system_visa.h"
#include "visa/system/visa_abi.h"

namespace quorvel {

namespace {

// A library may write up to VI_FIND_BUFLEN chars for a string attribute; the
// buffer has room past that, and only what lies within it is believed.
constexpr std::size_t kAttributeScratch = 1024;

// The resource manager's maker and versions, where the library answers.
void ReadImplementation(const SharedLibrary& library, visa_abi::ViSession manager,
                        LibraryProbe& probe) {
  const auto getAttribute =
      reinterpret_cast<visa_abi::ViGetAttributeFn>(library.Symbol("viGetAttribute"));
  if (getAttribute == nullptr) return;

  std::array<char, kAttributeScratch> name{};
  if (ViSucceeded(getAttribute(manager, VI_ATTR_RSRC_MANF_NAME, name.data()))) {
    name[VI_FIND_BUFLEN - 1] = '\0';
    probe.manufacturer = name.data();
  }
  // A version is 32 bits; the scratch is as wide as any attribute value in
  // case a library writes a whole ViAttrState.
  const auto readVersion = [&](ViAttr attribute) -> std::optional<std::uint32_t> {
    visa_abi::ViAttrState scratch = 0;
    if (!ViSucceeded(getAttribute(manager, attribute, &scratch))) return std::nullopt;
    visa_abi::ViVersion version = 0;
    std::copy_n(reinterpret_cast<const unsigned char*>(&scratch), sizeof version,
                reinterpret_cast<unsigned char*>(&version));
    return version;
  };
  probe.implementationVersion = readVersion(VI_ATTR_RSRC_IMPL_VERSION);
  probe.visaVersion = readVersion(VI_ATTR_RSRC_SPEC_VERSION);
}

}  // namespace

bool LibraryProbe::wrongArchitecture() const {
  if (!architecture) return false;
  const BinaryArchitecture program = ProgramArchitecture();
  return architecture->format != program.format || architecture->bits != program.bits ||
         architecture->machine != program.machine;
}

bool LibraryProbe::usable() const {
  return loaded && missingFunctions.empty() && resourceManagerStatus &&
         ViSucceeded(*resourceManagerStatus);
}

std::string VisaVersionText(std::uint32_t version) {
  char text[32];
  std::snprintf(text, sizeof text, "%u.%u.%u", version >> 20, (version >> 8) & 0xFFFu,
                version & 0xFFu);
  return text;
}

LibraryProbe ProbeVisaLibrary(const LibraryCandidate& candidate) {
  LibraryProbe probe;
  probe.candidate = candidate;
  auto library = SharedLibrary::Open(candidate.file, &probe.loadError);
  probe.loaded = library != nullptr;
  probe.location = library ? library->LoadedFrom() : std::string();
  if (probe.location.empty()) probe.location = LocateLibrary(candidate.file);
  if (!probe.location.empty()) probe.architecture = ReadBinaryArchitecture(probe.location);
  if (!library) {
    if (!probe.location.empty()) probe.missingDependencies = UnloadableImports(probe.location);
    return probe;
  }
  probe.loadError.clear();

  probe.missingFunctions = MissingVisaFunctions(*library);
  const auto openDefaultRM =
      reinterpret_cast<visa_abi::ViOpenDefaultRMFn>(library->Symbol("viOpenDefaultRM"));
  const auto close = reinterpret_cast<visa_abi::ViCloseFn>(library->Symbol("viClose"));
  if (openDefaultRM == nullptr || close == nullptr) return probe;
  visa_abi::ViSession manager = VI_NULL;
  probe.resourceManagerStatus = openDefaultRM(&manager);
  if (!ViSucceeded(*probe.resourceManagerStatus)) return probe;
  ReadImplementation(*library, manager, probe);
  close(manager);
  return probe;
}

}  // namespace quorvel
