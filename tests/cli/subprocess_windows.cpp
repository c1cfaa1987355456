#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cwctype>
#include <mutex>
#include <thread>

#include "common/wide_text.h"
#include "subprocess.h"

namespace quorvel::testing {

namespace {

std::wstring Wide(const std::string& text) { return WideFromUtf8(text).value_or(std::wstring()); }

// Quotes one argument so that the C runtime's command-line parser gives it back unchanged.
std::wstring QuoteArgument(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) return argument;
  std::wstring quoted = L"\"";
  std::size_t backslashes = 0;
  for (const wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
    } else {
      quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
      backslashes = 0;
    }
    quoted += c;
  }
  quoted.append(backslashes * 2, L'\\');
  return quoted + L"\"";
}

// This process's environment with the requested changes, as CreateProcessW
// wants it: "NAME=value" strings one after another, ending in an empty one.
std::wstring EnvironmentBlock(const ProgramOptions& options) {
  const auto upper = [](std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(std::towupper(c));
    return text;
  };
  std::vector<std::pair<std::wstring, std::wstring>> variables;  // (upper-case name, entry)
  if (LPWCH strings = GetEnvironmentStringsW()) {
    for (LPWCH entry = strings; *entry != L'\0'; entry += wcslen(entry) + 1) {
      const std::wstring text = entry;
      const std::size_t equals = text.find(L'=', 1);  // "=C:=C:\\" entries start with '='
      if (equals != std::wstring::npos) variables.emplace_back(upper(text.substr(0, equals)), text);
    }
    FreeEnvironmentStringsW(strings);
  }
  for (const auto& [name, value] : options.environment) {
    const std::wstring wideName = Wide(name);
    std::erase_if(variables, [&](const auto& v) { return v.first == upper(wideName); });
    if (value) variables.emplace_back(upper(wideName), wideName + L"=" + Wide(*value));
  }
  std::sort(variables.begin(), variables.end());
  std::wstring block;
  for (const auto& variable : variables) block += variable.second + L'\0';
  return block + L'\0';
}

// Collects what one pipe delivers, on a thread of its own so that neither
// pipe can fill up and stall the child while the other is being read.
class PipeReader {
 public:
  PipeReader(HANDLE pipe, bool closeAfterFirstBytes)
      : thread_([this, pipe, closeAfterFirstBytes] {
          char buffer[4096];
          DWORD got = 0;
          while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) {
            {
              const std::lock_guard lock(mutex_);
              text_.append(buffer, got);
            }
            if (closeAfterFirstBytes) break;
          }
          CloseHandle(pipe);
          done_ = true;
        }) {}
  ~PipeReader() { Join(); }
  void Join() {
    if (thread_.joinable()) thread_.join();
  }
  std::string Text() {
    const std::lock_guard lock(mutex_);
    return text_;
  }
  bool Done() const { return done_; }

 private:
  std::mutex mutex_;
  std::string text_;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

}  // namespace

ProgramRun RunProgram(const std::string& path, const std::vector<std::string>& arguments,
                      const ProgramOptions& options) {
  ProgramRun run;
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE outRead = nullptr, outWrite = nullptr, errRead = nullptr, errWrite = nullptr;
  if (!CreatePipe(&outRead, &outWrite, &inherit, 0) ||
      !CreatePipe(&errRead, &errWrite, &inherit, 0)) {
    return run;
  }
  SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);

  std::wstring commandLine = QuoteArgument(Wide(path));
  for (const std::string& argument : arguments) commandLine += L" " + QuoteArgument(Wide(argument));
  std::wstring environment = EnvironmentBlock(options);

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = outWrite;
  startup.hStdError = errWrite;
  PROCESS_INFORMATION process{};
  const bool started =
      CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE,
                     CREATE_UNICODE_ENVIRONMENT | (options.interruptible ? CREATE_NEW_CONSOLE : 0),
                     environment.data(), nullptr, &startup, &process);
  CloseHandle(outWrite);
  CloseHandle(errWrite);
  if (!started) {
    CloseHandle(outRead);
    CloseHandle(errRead);
    return run;
  }
  CloseHandle(process.hThread);

  PipeReader out(outRead, options.closeOutputEarly);
  PipeReader err(errRead, false);
  const auto deadline = std::chrono::steady_clock::now() + options.timeout;
  std::size_t reported = 0;
  for (;;) {
    const bool exited = WaitForSingleObject(process.hProcess, 10) == WAIT_OBJECT_0;
    const std::string outSoFar = out.Text();
    if (outSoFar.size() > reported && options.onOutput) {
      options.onOutput(static_cast<int>(process.dwProcessId), outSoFar);
    }
    reported = outSoFar.size();
    if (exited && out.Done() && err.Done()) break;
    if (std::chrono::steady_clock::now() > deadline) {
      run.timedOut = true;
      TerminateProcess(process.hProcess, 1);
      WaitForSingleObject(process.hProcess, INFINITE);
      break;
    }
  }
  out.Join();
  err.Join();
  run.out = out.Text();
  run.err = err.Text();
  DWORD code = 0;
  if (!run.timedOut && GetExitCodeProcess(process.hProcess, &code))
    run.exitCode = static_cast<int>(code);
  CloseHandle(process.hProcess);
  return run;
}

namespace {
// This process joins the child's console to press Ctrl+C there and must not
// be stopped by it itself.
BOOL WINAPI IgnoreInterrupt(DWORD event) { return event == CTRL_C_EVENT; }
}  // namespace

void SendInterrupt(int pid) {
  static const bool installed = SetConsoleCtrlHandler(IgnoreInterrupt, TRUE) != 0;
  (void)installed;
  FreeConsole();
  if (AttachConsole(static_cast<DWORD>(pid))) {
    GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
    FreeConsole();
  }
  AttachConsole(ATTACH_PARENT_PROCESS);
}

}  // namespace quorvel::testing
