#pragma once
// Ctrl+C during an update. The first one asks the procedure to stop: the data
// phase finishes the frame it is writing and stops before the next, the
// sessions are closed and the meter stays in update mode. A second one quits
// at once, except while bytes are being written to the meter: then the write
// completes first, so the meter never receives half a frame.
namespace quorvel::cli {

// Installs the SIGINT handler. `exitStatus` is what a second Ctrl+C exits with.
void InstallStopHandler(int exitStatus);

// An update goes on when its output goes away (a pager quit, a closed pipe):
// dying of SIGPIPE between two frames would strand the meter in update mode.
void KeepRunningWhenOutputCloses();

// True once Ctrl+C was pressed.
bool StopWasRequested();

// Marks a write to the meter in progress for as long as it lives. If a second
// Ctrl+C arrived meanwhile, the destructor ends the process once the write is done.
class WriteInProgress {
 public:
  WriteInProgress();
  ~WriteInProgress();
  WriteInProgress(const WriteInProgress&) = delete;
  WriteInProgress& operator=(const WriteInProgress&) = delete;
};

// For tests: forgets earlier Ctrl+C presses.
void ResetStopRequestForTesting();

}  // namespace quorvel::cli
