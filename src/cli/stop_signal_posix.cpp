#include <unistd.h>

#include <csignal>

#include "cli/stop_signal.h"
#include "cli/stop_signal_platform.h"

namespace quorvel::cli {

namespace {

void OnInterrupt(int) { HandleInterrupt(); }

}  // namespace

// write(2) and _exit(2) are async-signal-safe; nothing else is called from the handler.
void SayOnStandardError(std::string_view text) {
  const ssize_t ignored = ::write(STDERR_FILENO, text.data(), text.size());
  (void)ignored;
}

void QuitNow(int status) { ::_exit(status); }

void WaitForQuit() { ::pause(); }

void InstallStopHandler(int exitStatus) {
  SetQuitStatus(exitStatus);
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;  // a sleep or read in progress goes on; the flag is checked later
  sigaction(SIGINT, &action, nullptr);
}

void KeepRunningWhenOutputCloses() { std::signal(SIGPIPE, SIG_IGN); }

}  // namespace quorvel::cli
