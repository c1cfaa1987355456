#include "cli/stop_signal.h"

#include <unistd.h>

#include <atomic>
#include <csignal>
#include <string_view>

namespace quorvel::cli {

namespace {

// Only lock-free atomics may be touched from a signal handler. The handler
// may run on any thread (a USB library can have threads of its own), so the
// decision "quit now" and "start a write" exclude each other through one state.
enum WriteState : int { kIdle, kWriting, kQuitting };
std::atomic<int> gInterrupts{0};
std::atomic<int> gWriteState{kIdle};
std::atomic<bool> gQuitAfterWrite{false};
std::atomic<int> gQuitStatus{1};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

constexpr std::string_view kFirstNotice =
    "\nStop requested: the update stops at the next safe point; a frame being sent is "
    "completed first. Press Ctrl+C again to quit at once.\n";
constexpr std::string_view kQuitAfterWriteNotice =
    "\nQuitting as soon as the frame being written is complete.\n";
constexpr std::string_view kQuitNotice = "\nQuit.\n";

// write(2) and _exit(2) are async-signal-safe; nothing else is called from the handler.
void Say(std::string_view text) {
  const ssize_t ignored = ::write(STDERR_FILENO, text.data(), text.size());
  (void)ignored;
}

void OnInterrupt(int) {
  if (gInterrupts.fetch_add(1) == 0) {
    Say(kFirstNotice);
    return;
  }
  gQuitAfterWrite.store(true);
  int expected = kIdle;
  if (gWriteState.compare_exchange_strong(expected, kQuitting)) {
    Say(kQuitNotice);
    ::_exit(gQuitStatus.load());
  }
  Say(kQuitAfterWriteNotice);
}

}  // namespace

void InstallStopHandler(int exitStatus) {
  gQuitStatus.store(exitStatus);
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;  // a sleep or read in progress goes on; the flag is checked later
  sigaction(SIGINT, &action, nullptr);
}

void KeepRunningWhenOutputCloses() { std::signal(SIGPIPE, SIG_IGN); }

bool StopWasRequested() { return gInterrupts.load() > 0; }

WriteInProgress::WriteInProgress() {
  int expected = kIdle;
  while (!gWriteState.compare_exchange_strong(expected, kWriting)) {
    // The handler is ending the process on another thread: start nothing new.
    ::pause();
    expected = kIdle;
  }
}

WriteInProgress::~WriteInProgress() {
  gWriteState.store(kIdle);
  if (gQuitAfterWrite.load()) {
    Say(kQuitNotice);
    ::_exit(gQuitStatus.load());
  }
}

void ResetStopRequestForTesting() {
  gInterrupts.store(0);
  gWriteState.store(kIdle);
  gQuitAfterWrite.store(false);
}

}  // namespace quorvel::cli
