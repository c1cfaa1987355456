#include "visa/system/system_visa.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <limits>
#include <type_traits>

#include "visa/handle_table.h"

namespace quorvel {

namespace {

// The longest message viScanf asks the library for, whatever the caller's buffer.
constexpr std::size_t kMaxScanLength = 65536;
// Scratch room past the field width that a library keeping to the width never touches.
constexpr std::size_t kScanSlack = 256;

std::string Hex(ViStatus status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
  return text;
}

// A descriptor buffer handed to the library: VI_FIND_BUFLEN chars as the
// standard promises, plus room the library should never touch. The copy to
// the caller stops at VI_FIND_BUFLEN whatever the library wrote.
struct DescriptorScratch {
  std::array<ViChar, VI_FIND_BUFLEN + 1> chars{};
  void CopyTo(ViChar* descriptor) {
    chars[VI_FIND_BUFLEN - 1] = '\0';
    CopyDescriptor(std::string_view(chars.data()), descriptor);
  }
};

}  // namespace

std::unique_ptr<SystemVisa> SystemVisa::TryLoad(const std::string& file, std::string* reason) {
  std::string loadError;
  auto library = SharedLibrary::Open(file, &loadError);
  if (!library) {
    *reason = loadError;
    return nullptr;
  }

  if (const auto missing = MissingVisaFunctions(*library); !missing.empty()) {
    *reason = "lacks " + missing.front();
    for (std::size_t i = 1; i < missing.size(); ++i) *reason += ", " + missing[i];
    return nullptr;  // the library is unloaded again: nothing stays half-loaded
  }
  Functions fn;
  const auto lookup = [&](auto& pointer, const char* name) {
    void* address = library->Symbol(name);
    // Converting an object pointer to a function pointer is how every
    // run-time loader hands out functions.
    pointer = reinterpret_cast<std::remove_reference_t<decltype(pointer)>>(address);
  };
  lookup(fn.openDefaultRM, "viOpenDefaultRM");
  lookup(fn.findRsrc, "viFindRsrc");
  lookup(fn.findNext, "viFindNext");
  lookup(fn.open, "viOpen");
  lookup(fn.close, "viClose");
  lookup(fn.setAttribute, "viSetAttribute");
  lookup(fn.write, "viWrite");
  lookup(fn.read, "viRead");
  lookup(fn.clear, "viClear");
  lookup(fn.printf, "viPrintf");
  lookup(fn.scanf, "viScanf");

  // A library whose resource manager does not open (no VISA configuration, a
  // broken installation) is no use; saying so now beats "no meter" later.
  visa_abi::ViSession probe = VI_NULL;
  const visa_abi::ViStatus status = fn.openDefaultRM(&probe);
  if (!ViSucceeded(status)) {
    *reason = "its viOpenDefaultRM failed with status " + Hex(status);
    return nullptr;
  }
  fn.close(probe);

  const bool simulated = library->Symbol(visa_abi::kSimulatedMeterMarker) != nullptr;
  return std::unique_ptr<SystemVisa>(new SystemVisa(std::move(library), file, fn, simulated));
}

std::vector<std::string> MissingVisaFunctions(const SharedLibrary& library) {
  std::vector<std::string> missing;
  for (const char* name : kRequiredVisaFunctions) {
    if (library.Symbol(name) == nullptr) missing.emplace_back(name);
  }
  return missing;
}

std::unique_ptr<SystemVisa> SystemVisa::Load(const std::vector<LibraryCandidate>& candidates,
                                             std::string* error) {
  std::string tried;
  for (const LibraryCandidate& candidate : candidates) {
    std::string reason;
    if (auto visa = TryLoad(candidate.file, &reason)) return visa;
    tried += tried.empty() ? "" : "; ";
    tried += "\"" + candidate.file + "\": " + reason;
  }
  *error = "no usable VISA library (tried " + tried + "). Name one with " +
           kVisaLibraryVariable + "=FILE or --visa system:path=FILE";
  return nullptr;
}

ViStatus SystemVisa::viOpenDefaultRM(ViSession* resourceManager) {
  if (resourceManager == nullptr) return VI_ERROR_INV_PARAMETER;
  visa_abi::ViSession opened = VI_NULL;
  const ViStatus status = fn_.openDefaultRM(&opened);
  *resourceManager = ViSucceeded(status) ? opened : VI_NULL;
  return status;
}

ViStatus SystemVisa::viFindRsrc(ViSession resourceManager, const ViChar* expression,
                                ViFindList* findList, ViUInt32* count, ViChar* descriptor) {
  if (count != nullptr) *count = 0;
  if (findList != nullptr) *findList = VI_NULL;
  CopyDescriptor("", descriptor);
  const auto text = BoundedCString(expression, VI_FIND_BUFLEN);
  if (!text) return VI_ERROR_INV_EXPR;
  const std::string bounded(*text);

  visa_abi::ViFindList list = VI_NULL;
  visa_abi::ViUInt32 found = 0;
  DescriptorScratch first;
  // Not every library accepts a null find list, so one is always asked for
  // and closed again when the caller wants none.
  const ViStatus status =
      fn_.findRsrc(resourceManager, bounded.c_str(), &list, &found, first.chars.data());
  if (!ViSucceeded(status)) return status;
  if (findList != nullptr) {
    *findList = list;
  } else if (list != VI_NULL) {
    fn_.close(list);
  }
  if (count != nullptr) *count = found;
  first.CopyTo(descriptor);
  return status;
}

ViStatus SystemVisa::viFindNext(ViFindList findList, ViChar* descriptor) {
  CopyDescriptor("", descriptor);
  DescriptorScratch next;
  const ViStatus status = fn_.findNext(findList, next.chars.data());
  if (ViSucceeded(status)) next.CopyTo(descriptor);
  return status;
}

ViStatus SystemVisa::viOpen(ViSession resourceManager, const ViChar* resourceName,
                            ViAccessMode accessMode, ViUInt32 openTimeout, ViSession* session) {
  if (session != nullptr) *session = VI_NULL;
  const auto name = BoundedCString(resourceName, VI_FIND_BUFLEN);
  if (!name) return VI_ERROR_INV_RSRC_NAME;
  const std::string bounded(*name);
  visa_abi::ViSession opened = VI_NULL;
  const ViStatus status =
      fn_.open(resourceManager, bounded.c_str(), accessMode, openTimeout, &opened);
  if (ViSucceeded(status) && session != nullptr) {
    *session = opened;
  } else if (ViSucceeded(status)) {
    fn_.close(opened);
  }
  return status;
}

ViStatus SystemVisa::viClose(ViObject object) { return fn_.close(object); }

ViStatus SystemVisa::viSetAttribute(ViObject object, ViAttr attribute, ViAttrState value) {
  // Where the platform's attribute value is narrower than ours, a value that
  // does not fit is refused rather than cut.
  if (value > std::numeric_limits<visa_abi::ViAttrState>::max()) return VI_ERROR_INV_PARAMETER;
  return fn_.setAttribute(object, attribute, static_cast<visa_abi::ViAttrState>(value));
}

ViStatus SystemVisa::viWrite(ViSession session, const ViByte* buffer, ViUInt32 count,
                             ViUInt32* returnCount) {
  if (returnCount != nullptr) *returnCount = 0;
  if (buffer == nullptr && count > 0) return VI_ERROR_INV_PARAMETER;
  visa_abi::ViUInt32 written = 0;
  ViStatus status = fn_.write(session, buffer, count, &written);
  // More than was offered cannot have been sent.
  if (written > count) {
    written = count;
    if (ViSucceeded(status)) status = VI_ERROR_IO;
  }
  if (returnCount != nullptr) *returnCount = written;
  return status;
}

ViStatus SystemVisa::viRead(ViSession session, ViByte* buffer, ViUInt32 count,
                            ViUInt32* returnCount) {
  if (returnCount != nullptr) *returnCount = 0;
  if (buffer == nullptr && count > 0) return VI_ERROR_INV_PARAMETER;
  visa_abi::ViUInt32 received = 0;
  const ViStatus status = fn_.read(session, buffer, count, &received);
  // A count beyond the buffer means the library cannot be believed about
  // what it put there: nothing of it is used.
  if (received > count) return VI_ERROR_IO;
  if (returnCount != nullptr) *returnCount = received;
  return status;
}

ViStatus SystemVisa::viClear(ViSession session) { return fn_.clear(session); }

ViStatus SystemVisa::viPrintf(ViSession session, const ViChar* format) {
  // Only text without conversions goes to the library: a conversion would
  // make it read arguments that were never passed.
  const auto text = BoundedCString(format, kMaxFormatLength);
  if (!text) return VI_ERROR_INV_PARAMETER;
  if (!PlainFormatText(*text)) return VI_ERROR_NSUP_FMT;
  const std::string bounded(*text);
  return fn_.printf(session, bounded.c_str());
}

ViStatus SystemVisa::viScanf(ViSession session, const ViChar* format, ViChar* buffer,
                             std::size_t bufferSize) {
  if (buffer == nullptr || bufferSize < 2) return VI_ERROR_INV_PARAMETER;
  buffer[0] = '\0';
  const auto text = BoundedCString(format, kMaxFormatLength);
  if (!text) return VI_ERROR_INV_PARAMETER;
  if (*text != "%t") return VI_ERROR_NSUP_FMT;

  // "%t" alone lets the library store a message of any length. The field
  // width bounds it to the caller's buffer; the scratch buffer is larger
  // still, and only what fits is copied.
  const std::size_t room = std::min<std::size_t>(bufferSize - 1, kMaxScanLength);
  char bounded[32];
  std::snprintf(bounded, sizeof bounded, "%%%zut", room);
  std::vector<ViChar> scratch(room + kScanSlack, '\0');
  const ViStatus status = fn_.scanf(session, bounded, scratch.data());
  scratch.back() = '\0';
  const std::size_t length = std::min(std::string_view(scratch.data()).size(), room);
  std::copy_n(scratch.data(), length, buffer);
  buffer[length] = '\0';
  return status;
}

std::unique_ptr<VisaLibrary> MakeSystemVisa(std::string_view options, std::string* error) {
  const auto candidates = SystemLibrarySearch(options, error);
  if (!candidates) return nullptr;
  return SystemVisa::Load(*candidates, error);
}

}  // namespace quorvel
