#include "cli/stop_signal.h"

#include <atomic>
#include <string_view>

#include "cli/stop_signal_platform.h"

namespace quorvel::cli {

namespace {

// Only lock-free atomics may be touched from a signal handler. The handler
// may run on any thread (a USB library can have threads of its own, and on
// Windows every console event comes on a fresh thread), so the decision "quit
// now" and "start a write" exclude each other through one state: the number
// of writes in progress (a fleet update has one per meter), or kQuitting once
// the process is ending.
constexpr int kQuitting = -1;
std::atomic<int> gWritesInProgress{0};
std::atomic<int> gInterrupts{0};
std::atomic<bool> gQuitAfterWrite{false};
std::atomic<int> gQuitStatus{1};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

constexpr std::string_view kFirstNotice =
    "\nStop requested: the update stops at the next safe point; a frame being sent is "
    "completed first. Press Ctrl+C again to quit at once.\n";
constexpr std::string_view kQuitAfterWriteNotice =
    "\nQuitting as soon as the frame being written is complete.\n";
constexpr std::string_view kQuitNotice = "\nQuit.\n";

}  // namespace

void HandleInterrupt() {
  if (gInterrupts.fetch_add(1) == 0) {
    SayOnStandardError(kFirstNotice);
    return;
  }
  gQuitAfterWrite.store(true);
  int expected = 0;
  if (gWritesInProgress.compare_exchange_strong(expected, kQuitting)) {
    SayOnStandardError(kQuitNotice);
    QuitNow(gQuitStatus.load());
  }
  SayOnStandardError(kQuitAfterWriteNotice);
}

void SetQuitStatus(int exitStatus) { gQuitStatus.store(exitStatus); }

bool StopWasRequested() { return gInterrupts.load() > 0; }

WriteInProgress::WriteInProgress() {
  int writes = gWritesInProgress.load();
  for (;;) {
    if (writes == kQuitting) {
      // The process is ending on another thread: start nothing new.
      WaitForQuit();
      writes = gWritesInProgress.load();
      continue;
    }
    if (gWritesInProgress.compare_exchange_weak(writes, writes + 1)) return;
  }
}

WriteInProgress::~WriteInProgress() {
  // The last write to complete after a second Ctrl+C ends the process.
  int writes = gWritesInProgress.load();
  for (;;) {
    const bool last = writes == 1 && gQuitAfterWrite.load();
    if (gWritesInProgress.compare_exchange_weak(writes, last ? kQuitting : writes - 1)) {
      if (!last) return;
      SayOnStandardError(kQuitNotice);
      QuitNow(gQuitStatus.load());
    }
  }
}

void ResetStopRequestForTesting() {
  gInterrupts.store(0);
  gWritesInProgress.store(0);
  gQuitAfterWrite.store(false);
}

}  // namespace quorvel::cli
