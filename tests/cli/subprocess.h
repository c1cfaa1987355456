#pragma once
// Runs a program as a child process and collects what it writes, for the
// end-to-end tests of quorvel-cli.
#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quorvel::testing {

struct ProgramRun {
  int exitCode = -1;  // -1 when it did not exit normally
  bool timedOut = false;
  std::string out;
  std::string err;
};

struct ProgramOptions {
  // Variables set (or, with nullopt, removed) on top of this process's environment.
  std::map<std::string, std::optional<std::string>> environment;
  std::chrono::milliseconds timeout{30000};
  // Stops reading standard output after its first bytes and closes it, as a
  // pager that quits does.
  bool closeOutputEarly = false;
  // Standard output goes to this file instead of being collected (/dev/full
  // for an output that cannot be written).
  std::optional<std::string> outputFile;
  // Called whenever standard output grew; may interrupt the child.
  std::function<void(int pid, const std::string& outSoFar)> onOutput;
  // The child will get SendInterrupt. On Windows it then runs in a console of
  // its own (hidden), since Ctrl+C goes to a whole console, never to one process.
  bool interruptible = false;
};

ProgramRun RunProgram(const std::string& path, const std::vector<std::string>& arguments,
                      const ProgramOptions& options = {});

// Presses Ctrl+C for the program: SIGINT on POSIX, a console control event on Windows.
void SendInterrupt(int pid);

}  // namespace quorvel::testing
