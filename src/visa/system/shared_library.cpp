#include "visa/system/shared_library.h"

#include <algorithm>
#include <cstddef>
#include <filesystem>
#include <iterator>
#include <optional>

#if defined(_WIN32)
#include <windows.h>

#include "common/wide_text.h"
#else
#include <dlfcn.h>
#if defined(__linux__)
#include <link.h>
#endif
#endif

namespace quorvel {

namespace {
// A loader's message longer than this is cut: it goes into one line of text.
constexpr std::size_t kMaxReasonLength = 300;

std::string Bounded(std::string reason) {
  if (reason.size() > kMaxReasonLength) reason.resize(kMaxReasonLength);
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' ||
                             reason.back() == ' ' || reason.back() == '.')) {
    reason.pop_back();
  }
  return reason;
}
}  // namespace

#if defined(_WIN32)

namespace {
std::string LastErrorText() {
  const DWORD code = GetLastError();
  wchar_t text[512] = {};
  // The system's words come in the user's language: asked for as UTF-16 and
  // turned into UTF-8 like every other text of the tool.
  const DWORD length =
      FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                     text, static_cast<DWORD>(std::size(text) - 1), nullptr);
  const std::string reason = Utf8FromWide(std::wstring_view(text, std::min<DWORD>(length, 511)));
  // The system's text may end in a line break, which must not land mid-line.
  return Bounded(reason) + " (error " + std::to_string(code) + ")";
}
}  // namespace

std::unique_ptr<SharedLibrary> SharedLibrary::Open(const std::string& file, std::string* error) {
  const bool bareName = file.find_first_of("\\/:") == std::string::npos;
  // A bare name comes only from the system folder, where the VISA installers
  // put visa32.dll and visa64.dll, never from the working or program folder.
  // A given path may bring its own dependencies from its folder.
  const DWORD flags = bareName ? LOAD_LIBRARY_SEARCH_SYSTEM32
                               : (LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
  const std::optional<std::wstring> wide = WideFromUtf8(file);
  if (!wide || wide->empty()) {
    *error = "not a usable file name";
    return nullptr;
  }
  // A given path is made whole (drive, backslashes) first: the loader takes
  // nothing less with these flags.
  std::error_code failure;
  std::wstring whole = bareName ? *wide : std::filesystem::absolute(*wide, failure).wstring();
  std::replace(whole.begin(), whole.end(), L'/', L'\\');
  HMODULE module = failure ? nullptr : LoadLibraryExW(whole.c_str(), nullptr, flags);
  if (module == nullptr) {
    *error = LastErrorText();
    return nullptr;
  }
  return std::unique_ptr<SharedLibrary>(new SharedLibrary(reinterpret_cast<void*>(module)));
}

SharedLibrary::~SharedLibrary() { FreeLibrary(reinterpret_cast<HMODULE>(handle_)); }

void* SharedLibrary::Symbol(const char* name) const {
  return reinterpret_cast<void*>(GetProcAddress(reinterpret_cast<HMODULE>(handle_), name));
}

std::string SharedLibrary::LoadedFrom() const {
  // Long paths are cut by the call; such a path is not worth a bigger buffer here.
  wchar_t path[1024] = {};
  const DWORD length = GetModuleFileNameW(reinterpret_cast<HMODULE>(handle_), path,
                                          static_cast<DWORD>(std::size(path)));
  if (length == 0 || length >= std::size(path)) return {};
  return Utf8FromWide(std::wstring_view(path, length));
}

#else

std::unique_ptr<SharedLibrary> SharedLibrary::Open(const std::string& file, std::string* error) {
  // The loader would open a FIFO or a device named here and wait on it for
  // ever; only a regular file (or a link to one) is handed to it.
  std::error_code failure;
  const auto status = std::filesystem::status(file, failure);
  if (file.find('/') != std::string::npos && !failure && std::filesystem::exists(status) &&
      !std::filesystem::is_regular_file(status)) {
    *error = "not a regular file";
    return nullptr;
  }
  // RTLD_LOCAL: the library's own symbols never stand in for the tool's.
  void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* reason = dlerror();
    *error = Bounded(reason != nullptr ? reason : "cannot be loaded");
    return nullptr;
  }
  return std::unique_ptr<SharedLibrary>(new SharedLibrary(handle));
}

SharedLibrary::~SharedLibrary() { dlclose(handle_); }

void* SharedLibrary::Symbol(const char* name) const { return dlsym(handle_, name); }

std::string SharedLibrary::LoadedFrom() const {
#if defined(__linux__)
  const link_map* map = nullptr;
  if (dlinfo(handle_, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr || map->l_name == nullptr) {
    return {};
  }
  return map->l_name;
#else
  return {};
#endif
}

#endif

}  // namespace quorvel
