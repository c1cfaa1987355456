#include "visa/system/shared_library.h"

#include <cstddef>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
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
std::wstring Widen(const std::string& text) {
  if (text.empty()) return {};
  const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0);
  if (length <= 0) return {};
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
  return wide;
}

std::string LastErrorText() {
  const DWORD code = GetLastError();
  char text[512] = {};
  const DWORD length =
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                     text, static_cast<DWORD>(sizeof text - 1), nullptr);
  std::string reason = length > 0 ? std::string(text, length) : std::string();
  return Bounded(reason + " (error " + std::to_string(code) + ")");
}
}  // namespace

std::unique_ptr<SharedLibrary> SharedLibrary::Open(const std::string& file, std::string* error) {
  const bool bareName = file.find_first_of("\\/:") == std::string::npos;
  // A bare name comes only from the system folder, where the VISA installers
  // put visa32.dll and visa64.dll, never from the working or program folder.
  // A given path may bring its own dependencies from its folder.
  const DWORD flags = bareName ? LOAD_LIBRARY_SEARCH_SYSTEM32
                               : (LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
  const std::wstring wide = Widen(file);
  HMODULE module = wide.empty() ? nullptr : LoadLibraryExW(wide.c_str(), nullptr, flags);
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

#else

std::unique_ptr<SharedLibrary> SharedLibrary::Open(const std::string& file, std::string* error) {
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

#endif

}  // namespace quorvel
