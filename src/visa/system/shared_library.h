#pragma once
// Loading a shared library at run time and looking up its functions: the
// only platform-dependent part of the `system` backend (dlopen/dlsym on
// Linux and macOS, LoadLibraryExW/GetProcAddress on Windows).
#include <memory>
#include <string>

namespace quorvel {

class SharedLibrary {
 public:
  SharedLibrary(const SharedLibrary&) = delete;
  SharedLibrary& operator=(const SharedLibrary&) = delete;
  ~SharedLibrary();

  // Opens `file`: a bare name is searched for as the platform's loader does
  // (on Windows only in the system folder), anything with a directory is taken
  // as given. On failure returns null and the loader's reason in *error.
  static std::unique_ptr<SharedLibrary> Open(const std::string& file, std::string* error);

  // The address of an exported function; null when the library has none.
  void* Symbol(const char* name) const;

  // The file the loader really opened (a bare name resolved); empty when the
  // platform will not say.
  std::string LoadedFrom() const;

 private:
  explicit SharedLibrary(void* handle) : handle_(handle) {}
  void* handle_;
};

}  // namespace quorvel
