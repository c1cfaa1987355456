// Puts the simulated meter on the emulated USB bus and runs another program
// against it, so that a USBTMC host we did not write (pyvisa-py) can talk to
// our emulated device. The child inherits the umockdev preload and the
// testbed's location (UMOCKDEV_DIR); this process keeps serving its URBs and
// follows the meter on and off the bus until the child ends.
//
//   quorvel_usbtmc_meter_host [--knobs K] [--profile NAME] [--installed FILE] [--limit SECONDS]
//                             -- PROGRAM ARGS...
//   quorvel_usbtmc_meter_host --list-profiles
//
// --profile NAME: the meter misbehaves as the named device profile says
// (device_profiles.h). --list-profiles prints the profiles, one a line:
// name, behaviour, where it was seen, our backend's options, our refusal,
// separated by tabs.
// --installed FILE: afterwards the meter must have installed exactly FILE's
// bytes. Exit status: the child's (77 when it skipped), 77 without the
// preload, 1 when the check fails or the child ran past the limit.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "sim/sim_config.h"
#include "usbtmc/meter_on_usb.h"

extern char** environ;

namespace {

using quorvel::Millis;
using namespace quorvel::testing;

constexpr int kSkipped = 77;
// How often the bus follows the meter; the meter re-enumerates in a few
// hundred milliseconds in these runs.
constexpr std::chrono::milliseconds kFollowInterval{10};

struct Options {
  std::string knobs = "reenumerate_ms=300";
  std::string installed;
  std::string profile;
  int limitSeconds = 120;
  std::vector<char*> command;
};

bool ParseOptions(int argc, char** argv, Options* options) {
  int i = 1;
  for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
    const std::string option = argv[i];
    if (i + 1 >= argc) return false;
    const std::string value = argv[++i];
    if (option == "--knobs") {
      options->knobs = value;
    } else if (option == "--profile") {
      options->profile = value;
    } else if (option == "--installed") {
      options->installed = value;
    } else if (option == "--limit") {
      options->limitSeconds = std::atoi(value.c_str());
    } else {
      return false;
    }
  }
  for (++i; i < argc; ++i) options->command.push_back(argv[i]);
  options->command.push_back(nullptr);
  return options->command.size() > 1;
}

// This process's environment for the child, with only the umockdev preload:
// under AddressSanitizer our own preload list starts with its runtime, which
// would make an uninstrumented interpreter report its memory as leaked.
std::vector<std::string> ChildEnvironment() {
  std::vector<std::string> environment;
  for (char** variable = environ; *variable; ++variable) {
    std::string entry = *variable;
    if (entry.rfind("LD_PRELOAD=", 0) == 0) {
      std::string kept;
      std::size_t start = std::strlen("LD_PRELOAD=");
      while (start <= entry.size()) {
        const std::size_t end = std::min(entry.find_first_of(": ", start), entry.size());
        const std::string library = entry.substr(start, end - start);
        if (library.find("umockdev") != std::string::npos)
          kept += (kept.empty() ? "" : ":") + library;
        start = end + 1;
      }
      entry = "LD_PRELOAD=" + kept;
    }
    environment.push_back(std::move(entry));
  }
  return environment;
}

// The child's exit status, or -1 when it had to be killed at the limit.
int RunFollowingTheMeter(MeterRack& rack, const Options& options) {
  std::vector<std::string> environment = ChildEnvironment();
  std::vector<char*> childEnvironment;
  for (std::string& entry : environment) childEnvironment.push_back(entry.data());
  childEnvironment.push_back(nullptr);
  pid_t child = 0;
  if (posix_spawnp(&child, options.command[0], nullptr, nullptr, options.command.data(),
                   childEnvironment.data()) != 0) {
    std::fprintf(stderr, "meter host: cannot start %s: %s\n", options.command[0],
                 std::strerror(errno));
    return 1;
  }
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(options.limitSeconds);
  int status = 0;
  while (waitpid(child, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > limit) {
      std::fprintf(stderr, "meter host: %s still running after %d s; stopped\n", options.command[0],
                   options.limitSeconds);
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      return -1;
    }
    rack.Sync();
    std::this_thread::sleep_for(kFollowInterval);
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  std::fprintf(stderr, "meter host: %s ended by signal %d\n", options.command[0],
               WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  return 1;
}

bool InstalledExactly(EmulatedUsbBus& bus, MeterRack& rack, const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  const std::vector<std::uint8_t> expected{std::istreambuf_iterator<char>(file), {}};
  if (!file.good() && !file.eof()) {
    std::fprintf(stderr, "meter host: cannot read %s\n", path.c_str());
    return false;
  }
  const auto lock = bus.Lock();
  const auto& installed = rack.meter(0).installedImages();
  if (installed.size() != 1 || installed[0].bytes != expected) {
    std::fprintf(stderr, "meter host: expected %s (%zu bytes) installed once; the meter has:\n%s\n",
                 path.c_str(), expected.size(), DescribeTimeline(rack.meter(0).timeline()).c_str());
    return false;
  }
  std::printf("meter host: the meter installed the %zu bytes of %s\n", expected.size(),
              path.c_str());
  return true;
}

}  // namespace

void ListProfiles() {
  for (const DeviceProfile& profile : DeviceProfiles()) {
    std::printf("%s\t%s\t%s\t%s\t%s\n", profile.name, profile.behaviour, profile.seenIn,
                profile.ourOptions, profile.ourRefusal);
  }
}

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--list-profiles") == 0) {
    ListProfiles();
    return 0;
  }
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    std::fprintf(stderr,
                 "usage: %s [--knobs K] [--profile NAME] [--installed FILE] [--limit SECONDS] -- "
                 "PROGRAM ARGS...\n       %s --list-profiles\n",
                 argv[0], argv[0]);
    return 2;
  }
  const DeviceProfile* profile = nullptr;
  if (!options.profile.empty() && !(profile = FindDeviceProfile(options.profile))) {
    std::fprintf(stderr, "meter host: no device profile named %s\n", options.profile.c_str());
    return 2;
  }
  if (!EmulatedUsbBus::PreloadActive()) {
    std::fprintf(stderr, "meter host: umockdev preload not active: skipped\n");
    return kSkipped;
  }
  std::string error;
  const auto config = quorvel::SimConfig::Parse(options.knobs, &error);
  if (!config) {
    std::fprintf(stderr, "meter host: %s\n", error.c_str());
    return 2;
  }
  quorvel::SteadyClock clock;
  EmulatedUsbBus bus(clock);
  MeterRack rack(bus, *config, clock, Millis{20000}, profile);
  const int status = RunFollowingTheMeter(rack, options);
  if (status != 0) {
    // What the meter saw tells which side went wrong.
    if (status != kSkipped && rack.meterCount() > 0) {
      const auto lock = bus.Lock();
      std::fprintf(stderr, "meter host: the meter saw:\n%s\n",
                   DescribeTimeline(rack.meter(0).timeline()).c_str());
    }
    return status < 0 ? 1 : status;
  }
  if (!options.installed.empty() && !InstalledExactly(bus, rack, options.installed)) return 1;
  return 0;
}
