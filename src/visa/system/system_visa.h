#pragma once
// The `system` VISA backend: an installed VISA library (a vendor's, or any
// other that exports the standard C functions), loaded at run time and called
// through its binary interface (visa_abi.h). Nothing is linked against it.
//
// The library is treated as untrusted: every count it reports is checked
// against the buffer it was given, every descriptor it writes is cut to
// VI_FIND_BUFLEN and terminated, and only the formats the tool uses reach
// its formatted I/O.
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "visa/system/library_search.h"
#include "visa/system/shared_library.h"
#include "visa/system/visa_abi.h"
#include "visa/visa_library.h"

namespace quorvel {

class SystemVisa final : public VisaLibrary {
 public:
  // Loads the first usable library of `candidates` (SystemLibrarySearch). A
  // library is usable when it exports every function the tool calls and opens
  // a resource manager. On failure returns null and one message naming every
  // file tried and what was wrong with each.
  static std::unique_ptr<SystemVisa> Load(const std::vector<LibraryCandidate>& candidates,
                                          std::string* error);

  // The file that was loaded.
  const std::string& file() const { return file_; }
  // A library that declares it serves a simulated meter (the test double does)
  // may be driven with shortened waits.
  bool ServesSimulatedMeter() const override { return simulated_; }

  ViStatus viOpenDefaultRM(ViSession* resourceManager) override;
  ViStatus viFindRsrc(ViSession resourceManager, const ViChar* expression, ViFindList* findList,
                      ViUInt32* count, ViChar* descriptor) override;
  ViStatus viFindNext(ViFindList findList, ViChar* descriptor) override;
  ViStatus viOpen(ViSession resourceManager, const ViChar* resourceName, ViAccessMode accessMode,
                  ViUInt32 openTimeout, ViSession* session) override;
  ViStatus viClose(ViObject object) override;
  ViStatus viSetAttribute(ViObject object, ViAttr attribute, ViAttrState value) override;
  ViStatus viWrite(ViSession session, const ViByte* buffer, ViUInt32 count,
                   ViUInt32* returnCount) override;
  ViStatus viRead(ViSession session, ViByte* buffer, ViUInt32 count,
                  ViUInt32* returnCount) override;
  ViStatus viClear(ViSession session) override;
  ViStatus viPrintf(ViSession session, const ViChar* format) override;
  ViStatus viScanf(ViSession session, const ViChar* format, ViChar* buffer,
                   std::size_t bufferSize) override;

 private:
  struct Functions {
    visa_abi::ViOpenDefaultRMFn openDefaultRM = nullptr;
    visa_abi::ViFindRsrcFn findRsrc = nullptr;
    visa_abi::ViFindNextFn findNext = nullptr;
    visa_abi::ViOpenFn open = nullptr;
    visa_abi::ViCloseFn close = nullptr;
    visa_abi::ViSetAttributeFn setAttribute = nullptr;
    visa_abi::ViWriteFn write = nullptr;
    visa_abi::ViReadFn read = nullptr;
    visa_abi::ViClearFn clear = nullptr;
    visa_abi::ViPrintfFn printf = nullptr;
    visa_abi::ViScanfFn scanf = nullptr;
  };

  SystemVisa(std::unique_ptr<SharedLibrary> library, std::string file, Functions functions,
             bool simulated)
      : library_(std::move(library)),
        file_(std::move(file)),
        fn_(functions),
        simulated_(simulated) {}

  // Loads one file; on failure null and the reason in *reason.
  static std::unique_ptr<SystemVisa> TryLoad(const std::string& file, std::string* reason);

  std::unique_ptr<SharedLibrary> library_;
  std::string file_;
  Functions fn_;
  bool simulated_ = false;
};

// The names of kRequiredVisaFunctions that `library` does not export.
std::vector<std::string> MissingVisaFunctions(const SharedLibrary& library);

// The backend's maker: options are empty or "path=FILE".
std::unique_ptr<VisaLibrary> MakeSystemVisa(std::string_view options, std::string* error);

}  // namespace quorvel
