#include <windows.h>

#include "cli/stop_signal.h"
#include "cli/stop_signal_platform.h"

namespace quorvel::cli {

namespace {

// Windows calls this on a thread of its own for each console event. Ctrl+Break
// is the same request as Ctrl+C. Returning TRUE keeps the default action
// (ending the process at once) from running.
BOOL WINAPI OnConsoleControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  HandleInterrupt();
  return TRUE;
}

}  // namespace

void SayOnStandardError(std::string_view text) {
  const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
  if (error == nullptr || error == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  (void)WriteFile(error, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

// The counterpart of _exit: ExitProcess would run library shutdown code while
// the main thread may still be inside it.
void QuitNow(int status) {
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
  for (;;) Sleep(INFINITE);
}

void WaitForQuit() { Sleep(INFINITE); }

void InstallStopHandler(int exitStatus) {
  SetQuitStatus(exitStatus);
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

// Windows has no SIGPIPE: a write to a closed pipe fails and the stream
// stops printing, while the update goes on.
void KeepRunningWhenOutputCloses() {}

}  // namespace quorvel::cli
