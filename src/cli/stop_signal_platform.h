#pragma once
// What the Ctrl+C logic in stop_signal.cpp needs from the operating system.
// Everything here may be called from the interrupt handler, so it is
// async-signal-safe on POSIX and touches no locks on Windows.
#include <string_view>

namespace quorvel::cli {

// Called by the platform's handler once per Ctrl+C.
void HandleInterrupt();

// What a second Ctrl+C exits with.
void SetQuitStatus(int exitStatus);

// Writes straight to standard error, unbuffered.
void SayOnStandardError(std::string_view text);

// Ends the process at once with `status`: no destructors, no buffers flushed.
[[noreturn]] void QuitNow(int status);

// Blocks this thread until the handler on another thread ends the process.
void WaitForQuit();

}  // namespace quorvel::cli
