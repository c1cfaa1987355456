// quorvel-cli doctor run as a program: each way a VISA library can fail to
// serve is named with what to do, the meters behind a working backend are
// listed, and the exit status says whether the backend in use reaches one.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "subprocess.h"
#include "support/binary_builder.h"
#include "support/firmware_builder.h"

namespace quorvel::testing {
namespace {

const std::string kCli = QUORVEL_CLI_PATH;
const std::string kVisaDouble = QUORVEL_VISA_DOUBLE_PATH;
const std::string kVisaDoubleWithoutRm = QUORVEL_VISA_DOUBLE_WITHOUT_RM_PATH;
#ifdef _WIN32
const std::string kFast = "0.02";
const std::string kStateFolderVariable = "LOCALAPPDATA";
const std::string kProgram = "PE 64-bit x86-64";
#else
const std::string kFast = "0.005";
const std::string kStateFolderVariable = "XDG_STATE_HOME";
const std::string kProgram = "ELF 64-bit x86-64";
#endif

using Environment = std::map<std::string, std::optional<std::string>>;

struct Scratch {
  TempDir folder;
  std::string elf32 = folder.Write("lib32visa.so", ElfHeader(1, 1, 3));
  std::string pe32 = folder.Write("visa32.dll", PeFile({.machine = kPeI386, .wide = false, .imports = {}}));
  std::string notAFolder = folder.Write("not-a-folder", FileBytes{'x'});
#ifndef _WIN32
  // A FIFO named as the library: opening it to read would wait for a writer.
  std::string fifo = [this] {
    const std::string path = (folder.path() / "libvisa-fifo.so").string();
    mkfifo(path.c_str(), 0600);
    return path;
  }();
#endif
};

ProgramRun Doctor(const std::vector<std::string>& arguments, Environment environment,
                  const Scratch& scratch) {
  ProgramOptions options;
  options.environment = std::move(environment);
  options.environment.try_emplace("QUORVEL_VISA_LIBRARY", std::nullopt);
  options.environment.try_emplace(kStateFolderVariable, scratch.folder.path().string());
  options.environment.try_emplace("QUORVEL_VISA_DOUBLE_TIME_SCALE", kFast);
  return RunProgram(kCli, arguments, options);
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(CliDoctor, NamesWhatStandsBetweenTheProgramAndTheMeter) {
  const Scratch scratch;
  const Environment viaDouble = {{"QUORVEL_VISA_LIBRARY", kVisaDouble}};
  const struct {
    const char* label;
    std::vector<std::string> arguments;
    Environment environment;
    int exitCode;
    std::vector<std::string> inOut;
  } cases[] = {
      {"the test double", {"--visa", "system", "--time-scale", kFast, "doctor"}, viaDouble, 0,
       {"ok       " + kVisaDouble + ": named by QUORVEL_VISA_LIBRARY; " + kProgram + "; loads",
        "made by Quorvel test double, version 1.2.0, implements VISA 5.8.0",
        "ok       system backend: uses " + kVisaDouble + " (named by QUORVEL_VISA_LIBRARY)",
        "ok       system USB0::0x1D7C::0x4A35::SN000123::INSTR: identity "
        "NAVIR,Q1000,SN000123,01.20.05.12, serial SN000123",
        "The backend in use, \"system\", reaches a meter."}},
      {"missing file", {"--visa", "system:path=" + scratch.folder.path().string() + "/nothing.so", "doctor"}, {}, 4,
       {"nothing.so: not found (named with --visa system:path=)\n           what to do: Check the file name"}},
      {"missing function", {"--visa", "system:path=" + kVisaDoubleWithoutRm, "doctor"}, {}, 4,
       {"problem  " + kVisaDoubleWithoutRm, "loads, but lacks viOpenDefaultRM\n           what to do: "}},
      {"failing resource manager", {"--visa", "system", "doctor"},
       {{"QUORVEL_VISA_LIBRARY", kVisaDouble}, {"QUORVEL_VISA_DOUBLE_BROKEN", "1"}}, 4,
       {"but viOpenDefaultRM failed with VI_ERROR_SYSTEM_ERROR\n           what to do: The VISA "
        "installation is not set up or is broken",
        "problem  system backend: no usable VISA library (see above)"}},
      {"32-bit ELF", {"--visa", "system:path=" + scratch.elf32, "doctor"}, {}, 4,
       {"ELF 32-bit i386: this program is " + kProgram + " and cannot load it\n"
        "           what to do: Install the 64-bit (x86-64) VISA library"}},
      {"32-bit PE", {"--visa", "system:path=" + scratch.pe32, "doctor"}, {}, 4,
       {"PE 32-bit i386: this program is " + kProgram + " and cannot load it"}},
      {"maker's name without an end", {"--visa", "sim", "--time-scale", kFast, "doctor"},
       {{"QUORVEL_VISA_LIBRARY", kVisaDouble}, {"QUORVEL_VISA_DOUBLE_HOSTILE", "attributes"}}, 0,
       {"made by " + std::string(255, 'X') + ", version 1.2.0"}},
      {"no meter behind the backend in use", {"--visa", "sim:absent=1", "doctor"}, {}, 4,
       {"problem  sim:absent=1: finds no meter\n           what to do: Connect the meter",
        "The backend in use, \"sim:absent=1\", reaches no meter."}},
      {"history without a folder", {"--visa", "sim", "--time-scale", kFast, "doctor"},
       {{kStateFolderVariable, scratch.notAFolder}}, 0,
       {"problem  " + scratch.notAFolder, "history.jsonl: not writable"}},
#ifndef _WIN32
      {"a FIFO", {"--visa", "system:path=" + scratch.fifo, "doctor"}, {}, 4,
       {"not a library this program recognises; does not load: not a regular file"}},
#endif
#ifdef _WIN32
      {"a DLL that needs a missing DLL", {"--visa", "system:path=" QUORVEL_VISA_NEEDS_MISSING_DLL_PATH, "doctor"}, {}, 4,
       {"it needs libquorvel_missing_dependency.dll, which cannot be found\n"
        "           what to do: Install what provides libquorvel_missing_dependency.dll"}},
#endif
  };
  for (const auto& c : cases) {
    const ProgramRun run = Doctor(c.arguments, c.environment, scratch);
    EXPECT_EQ(run.exitCode, c.exitCode) << c.label << "\n" << run.out << run.err;
    for (const std::string& part : c.inOut) {
      EXPECT_TRUE(Contains(run.out, part)) << c.label << ": " << part << "\n" << run.out;
    }
  }
  const ProgramRun unknown = Doctor({"--visa", "bogus", "doctor"}, {}, scratch);
  EXPECT_EQ(unknown.exitCode, 2);
  EXPECT_TRUE(Contains(unknown.err, "unknown VISA backend \"bogus\"")) << unknown.err;
}

TEST(CliDoctor, JsonCarriesEveryCheckWithItsVerdictAndWhatToDo) {
  const Scratch scratch;
  const ProgramRun run = Doctor({"--visa", "system:path=" + scratch.elf32, "doctor", "--json"}, {}, scratch);
  EXPECT_EQ(run.exitCode, 4) << run.err;
  const auto document = nlohmann::json::parse(run.out);
  EXPECT_EQ(document["reachesMeter"], false);
  const auto& first = document["checks"][0];
  EXPECT_EQ(first["area"], "VISA library");
  EXPECT_EQ(first["verdict"], "problem");
  EXPECT_EQ(first["facts"]["architecture"], "ELF 32-bit i386");
  EXPECT_EQ(first["facts"]["wrongArchitecture"], true);
  for (const auto& check : document["checks"]) {
    // Every warning and problem says what to do; an ok check has nothing to add.
    EXPECT_EQ(check["whatToDo"].is_null(), check["verdict"] == "ok") << check.dump();
  }
}

}  // namespace
}  // namespace quorvel::testing
