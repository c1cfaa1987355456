#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>

#include "subprocess.h"

extern char** environ;

namespace quorvel::testing {

namespace {

std::vector<std::string> ChildEnvironment(const ProgramOptions& options) {
  std::map<std::string, std::string> variables;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    const auto equals = text.find('=');
    if (equals != std::string::npos) variables[text.substr(0, equals)] = text.substr(equals + 1);
  }
  for (const auto& [name, value] : options.environment) {
    if (value) {
      variables[name] = *value;
    } else {
      variables.erase(name);
    }
  }
  std::vector<std::string> result;
  for (const auto& [name, value] : variables) result.push_back(name + "=" + value);
  return result;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (std::string& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

// Reads what is there; false once the pipe is closed.
bool Drain(int fd, std::string& into) {
  std::array<char, 4096> buffer{};
  const ssize_t n = ::read(fd, buffer.data(), buffer.size());
  if (n > 0) into.append(buffer.data(), static_cast<std::size_t>(n));
  return n > 0 || (n < 0 && errno == EINTR);
}

}  // namespace

ProgramRun RunProgram(const std::string& path, const std::vector<std::string>& arguments,
                      const ProgramOptions& options) {
  ProgramRun run;
  int outPipe[2];
  int errPipe[2];
  if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) return run;

  std::vector<std::string> argv{path};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  std::vector<std::string> envp = ChildEnvironment(options);
  std::vector<char*> argvPointers = Pointers(argv);
  std::vector<char*> envpPointers = Pointers(envp);

  const pid_t pid = ::fork();
  if (pid == 0) {
    const int out = options.outputFile ? ::open(options.outputFile->c_str(), O_WRONLY) : outPipe[1];
    ::dup2(out, STDOUT_FILENO);
    ::dup2(errPipe[1], STDERR_FILENO);
    ::execve(path.c_str(), argvPointers.data(), envpPointers.data());
    ::_exit(127);
  }
  ::close(outPipe[1]);
  ::close(errPipe[1]);

  const auto deadline = std::chrono::steady_clock::now() + options.timeout;
  bool outOpen = true;
  bool errOpen = true;
  while ((outOpen || errOpen) && pid > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      run.timedOut = true;
      ::kill(pid, SIGKILL);
      break;
    }
    const auto wanted = [](bool open) { return static_cast<short>(open ? POLLIN : 0); };
    std::array<pollfd, 2> fds{{{outPipe[0], wanted(outOpen), 0}, {errPipe[0], wanted(errOpen), 0}}};
    if (::poll(fds.data(), fds.size(), static_cast<int>(left.count())) < 0) continue;
    if (outOpen && (fds[0].revents & (POLLIN | POLLHUP))) {
      const std::size_t before = run.out.size();
      outOpen = Drain(outPipe[0], run.out);
      if (run.out.size() > before && options.onOutput) options.onOutput(pid, run.out);
      if (options.closeOutputEarly && outOpen) {
        ::close(outPipe[0]);
        outPipe[0] = -1;
        outOpen = false;
      }
    }
    if (errOpen && (fds[1].revents & (POLLIN | POLLHUP))) errOpen = Drain(errPipe[0], run.err);
  }
  if (outPipe[0] >= 0) ::close(outPipe[0]);
  ::close(errPipe[0]);

  int status = 0;
  if (pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
    run.exitCode = WEXITSTATUS(status);
  }
  return run;
}

void SendInterrupt(int pid) { ::kill(pid, SIGINT); }

}  // namespace quorvel::testing
