// quorvel-cli run as a program against the simulated meter, with a time scale
// that keeps each update well under a second.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "common/utf8_path.h"
#include "firmware/loaded_firmware.h"
#include "subprocess.h"
#include "support/firmware_builder.h"
#include "visa/system/system_visa.h"
#include "visa/visa_types.h"

namespace quorvel::testing {
namespace {

const std::string kCli = QUORVEL_CLI_PATH;
const std::string kSamples = QUORVEL_SAMPLES_DIR;
const std::string kVisaDouble = QUORVEL_VISA_DOUBLE_PATH;
const std::string kVisaDoubleWithoutRm = QUORVEL_VISA_DOUBLE_WITHOUT_RM_PATH;
const std::string kDocs = QUORVEL_DOCS_DIR;
// gcc names AddressSanitizer with a macro, clang with a feature test.
#if defined(__SANITIZE_ADDRESS__)
#define QUORVEL_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUORVEL_UNDER_ASAN 1
#endif
#endif
#if defined(_WIN32) || defined(QUORVEL_UNDER_ASAN)
// Under Wine, and under AddressSanitizer on a busy machine, a process stalls
// for several milliseconds at a time; the simulated meter's waits (it reboots
// 2 s after an image when left alone) must stay well above that once scaled.
const std::string kFast = "0.02";
#else
const std::string kFast = "0.005";
#endif

// How the program reaches the simulated meter: the sim backend, or the system
// backend loading the test-double VISA library that serves the same meter.
enum class Door { kSim, kLibrary };

std::string Sample(const std::string& name) { return kSamples + "/" + name; }

// Where the history lives: its folder comes from this variable.
#ifdef _WIN32
const std::string kStateFolderVariable = "LOCALAPPDATA";
#else
const std::string kStateFolderVariable = "XDG_STATE_HOME";
#endif

// Runs the program against the simulated meter unless told otherwise, whatever
// the developer's shell or the built-in default says.
// Updates are recorded in the history: never in the developer's own.
const std::string& ScratchStateFolder() {
  static const TempDir folder;
  static const std::string path = folder.path().string();
  return path;
}

ProgramRun Cli(const std::vector<std::string>& arguments, ProgramOptions options = {}) {
  options.environment.try_emplace("QUORVEL_VISA", "sim");
  options.environment.try_emplace(kStateFolderVariable, ScratchStateFolder());
  return RunProgram(kCli, arguments, options);
}

// `visa` names the simulated meter ("sim" or "sim:knobs"); through the
// library door its knobs go to the test double instead.
ProgramRun Update(const std::string& visa, const std::string& file,
                  std::vector<std::string> extra = {}, Door door = Door::kSim) {
  ProgramOptions options;
  std::string backend = visa;
  if (door == Door::kLibrary) {
    backend = "system";
    const std::size_t colon = visa.find(':');
    options.environment["QUORVEL_VISA_DOUBLE"] =
        colon == std::string::npos ? "" : visa.substr(colon + 1);
    options.environment["QUORVEL_VISA_LIBRARY"] = kVisaDouble;
    options.environment["QUORVEL_VISA_DOUBLE_TIME_SCALE"] = kFast;
    // Hands out closed handle numbers again at once, as some libraries do.
    options.environment["QUORVEL_VISA_DOUBLE_REUSE"] = "1";
  }
  // The window's log lines, which these tests compare with the window's texts.
  std::vector<std::string> arguments{"--visa", backend, "--time-scale", kFast,
                                     "update", file,    "--transcript"};
  arguments.insert(arguments.end(), extra.begin(), extra.end());
  return Cli(arguments, options);
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// An update ends with one outcome line: a verdict, then what happened and why.
bool EndsWithOutcomeLine(const std::string& out) {
  static const std::regex line(R"((^|\n)(Updated|Unconfirmed|Update failed|Refused|Not updated|Stopped): [^\n]+\n$)");
  return std::regex_search(out, line);
}

// Binary, so that a sample image read on Windows keeps its 0x1a and 0x0d bytes.
std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class CliUpdateThrough : public ::testing::TestWithParam<Door> {};
INSTANTIATE_TEST_SUITE_P(Doors, CliUpdateThrough, ::testing::Values(Door::kSim, Door::kLibrary),
                         [](const auto& door) {
                           return door.param == Door::kSim ? "Sim" : "SystemLibrary";
                         });

TEST_P(CliUpdateThrough, AGoodImageIsInstalledAndReportedAsTheWindowWould) {
  TempDir dir;
  const std::string trace = (dir.path() / "trace.txt").string();
  const ProgramRun run = Update("sim", Sample("dsp-newer.bin"), {"--trace", trace}, GetParam());
  ASSERT_FALSE(run.timedOut);
  // Nothing is closed twice or used after its close: a support reader would take it for a fault.
  EXPECT_FALSE(Contains(ReadFile(trace), "VI_ERROR_INV_OBJECT")) << ReadFile(trace);
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_TRUE(Contains(run.out, "Serial No: SN000123\n")) << run.out;
  EXPECT_TRUE(Contains(run.out, "\n  5407 for DSP firmware.\n"));
  EXPECT_TRUE(
      Contains(run.out,
               "\"dsp-newer.bin\" update completed. Please recycle power on instrument\n"
               "now.\n\n"
               "After instrument power is recycled, if you want to update another binary\n"));
  EXPECT_TRUE(Contains(run.out, "Progress: 100%\n"));
  EXPECT_FALSE(Contains(run.out, "\r")) << "no bar and no raw log separators in a pipe";
  EXPECT_EQ(run.err, "");
}

TEST_P(CliUpdateThrough, APackageIsInstalledImageByImage) {
  const ProgramRun run = Update("sim", Sample("package-3.pak"), {"--yes"}, GetParam());
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_TRUE(Contains(run.out, "\"package-3.pak\" update completed."));
  EXPECT_TRUE(Contains(run.out, "Progress: 100% (image 3 of 3)"));
}

// The meter is never left half-updated for want of a reader, but an outcome
// that never arrived is no success.
TEST(CliUpdate, GoesOnToTheEndWhenItsOutputIsClosed) {
  TempDir state;
  ProgramOptions options;
  options.closeOutputEarly = true;
  options.environment[kStateFolderVariable] = state.path().string();
  const ProgramRun run = Cli({"--time-scale", kFast, "update", Sample("dsp-newer.bin")}, options);
  EXPECT_EQ(run.exitCode, 1) << run.err;
  EXPECT_TRUE(Contains(run.err, "cannot write the output.")) << run.err;
  EXPECT_TRUE(Contains(ReadFile((state.path() / "quorvel" / "history.jsonl").string()),
                       "\"outcome\":\"installed\""));
}

TEST(CliUpdate, PercentLinesAreNotRepeatedFrameByFrame) {
  TempDir dir;
  // 500 frames: most of them move the percentage by less than one.
  const std::string big =
      dir.Write("big.bin", BinBuilder().Version("01.21").Payload(240 * 500 - 4).WithCrc().Bytes());
  const ProgramRun run = Update("sim", big);
  EXPECT_EQ(run.exitCode, 0) << run.err;
  std::size_t lines = 0;
  for (std::size_t at = run.out.find("Progress: "); at != std::string::npos;
       at = run.out.find("Progress: ", at + 1)) {
    ++lines;
  }
  EXPECT_LE(lines, 101u);
  EXPECT_GE(lines, 90u);
}

TEST_P(CliUpdateThrough, EachWayOfEndingHasItsOwnExitStatus) {
  TempDir dir;
  const ByteVector headerOnly = BinBuilder().Version("01.21").Bytes();
  const std::string emptyImage = dir.Write("header-only.bin", headerOnly);
  const std::string shortHeader =
      dir.Write("short.bin", ByteVector(headerOnly.begin(), headerOnly.end() - 1));
  const std::string oversized = dir.Write("oversized.bin", headerOnly);
  std::filesystem::resize_file(oversized, kMaxFirmwareFileSize + 1);
  const struct {
    const char* label;
    std::string visa;
    std::string file;
    int exitCode;
    std::string inOut;
    std::string inErr;
  } cases[] = {
      {"checksum failure", "sim:status1=2", Sample("dsp-newer.bin"), 5,
       "\nUpdate failed: the meter reported CHECKSUM_ERROR for the image. Recycle the meter's power",
       ""},
      {"second status refused", "sim:status2=4", Sample("dsp-newer.bin"), 5,
       "\nUpdate failed: the meter reported PROGRAM_ERROR for the image after its end frame.", ""},
      // Refused for the cause `info` names, not in the window's words.
      {"wrong signature", "sim", Sample("bad-signature.bin"), 3,
       "\nRefused: \"NOTUS\" is not the maker's signature. The meter was not touched", ""},
      {"older version", "sim", Sample("dsp-older.bin"), 3,
       "\nRefused: Firmware Update Not Possible (DSP). Binary file version is older than "
       "instrument version. The meter was not touched",
       ""},
      {"damaged package", "sim", Sample("damaged.pak"), 3,
       "\nRefused: entry 2: the image runs past the end of the file.",
       "Quorvel: The package file is damaged."},
      // The package goes on after an unanswered end frame, but nothing confirms it.
      {"package without a final verdict", "sim:status2=none", Sample("package-3.pak"), 7,
       "\nUnconfirmed: the meter accepted the data of \"package-3.pak\", but images 1, 2 and 3 "
       "of 3 got no reply to their end frame",
       ""},
      {"image without a final verdict", "sim:status2=none", Sample("dsp-newer.bin"), 5,
       "\nUpdate failed: the meter gave no reply to the end frame of the image.", ""},
      // Installed, but just as silent: the wire shows nothing more to go by.
      {"package installed in silence", "sim:end_reply=none", Sample("package-3.pak"), 7,
       "\nUnconfirmed: the meter accepted the data of \"package-3.pak\", but images 1, 2 and 3 "
       "of 3 got no reply to their end frame",
       ""},
      {"image installed in silence", "sim:end_reply=none", Sample("dsp-newer.bin"), 5,
       "\nUpdate failed: the meter gave no reply to the end frame of the image.", ""},
      {"larger than any firmware", "sim", oversized, 3,
       "\nRefused: The file holds more than 16 MiB; no meter firmware is that large.", ""},
      {"package refused after the end frame", "sim:status2=2", Sample("package-3.pak"), 5,
       "\nUpdate failed: the meter reported CHECKSUM_ERROR for image 1 of 3 after its end frame.",
       ""},
      {"package into an unplugged meter", "sim:unplug_after=1", Sample("package-3.pak"), 5,
       "\nUpdate failed: a frame of image 1 of 3 could not be written to the meter.", ""},
      // Switched and then lost: stranded in update mode, a failed update.
      {"image, meter never back", "sim:return=0", Sample("dsp-newer.bin"), 5,
       "the meter did not come back after its switch to update mode; it is left in update mode. "
       "Recycle",
       ""},
      {"package, meter never back", "sim:return=0", Sample("package-3.pak"), 5,
       "it is left in update mode. Recycle", ""},
      {"no meter", "sim:absent=1", Sample("dsp-newer.bin"), 4,
       "\nNot updated: USBTMC device not found. Check the cable",
       "Quorvel firmware: USBTMC device not found."},
      {"meter in update mode", "sim:mode=update", Sample("dsp-newer.bin"), 6,
       "Incorrect mode.", ""},
      {"silent meter, image", "sim:silent=1", Sample("dsp-older.bin"), 4,
       "\nNot updated: The meter did not identify itself. Check the cable and try again. To see "
       "why, run quorvel-cli doctor.\n",
       "The meter did not identify itself."},
      {"silent meter, package", "sim:silent=1", Sample("package-3.pak"), 4,
       "\nNot updated: The meter did not identify itself.", ""},
      {"identity too late", "sim:slow_ms=25000", Sample("dsp-older.bin"), 4,
       "\nNot updated: The meter did not identify itself.", ""},
      // Nothing to send: refused before the meter is switched.
      {"image without payload", "sim", emptyImage, 3,
       "\nRefused: no payload: the meter refuses an empty image", ""},
      {"header cut short", "sim", shortHeader, 3,
       "\nRefused: the file holds 49 of the header's 50 bytes", ""},
  };
  for (const auto& c : cases) {
    const ProgramRun run = Update(c.visa, c.file, {}, GetParam());
    EXPECT_EQ(run.exitCode, c.exitCode) << c.label << "\n" << run.out << run.err;
    EXPECT_TRUE(Contains("\n" + run.out, c.inOut)) << c.label << "\n" << run.out;
    EXPECT_TRUE(Contains(run.err, c.inErr)) << c.label << "\n" << run.err;
    EXPECT_TRUE(EndsWithOutcomeLine(run.out)) << c.label << "\n" << run.out;
    // (The window's log takes a package without a final verdict as completed.)
    EXPECT_FALSE(Contains(run.out, "update completed") && c.exitCode != 7) << c.label;
    if (c.exitCode == 3) {
      EXPECT_FALSE(Contains(run.out + run.err, "\"Exit\""))
          << c.label << ": a terminal has no Exit button to press\n" << run.out << run.err;
    }
    if (c.exitCode == 3 || c.exitCode == 4) {
      EXPECT_FALSE(Contains(run.out, "recycle power on") && c.file.ends_with(".pak"))
          << c.label << ": a package that never reached the meter asks for no power cycle";
    }
  }
}

// POSIX only, for /dev/full: the statuses come from the same code on Windows.
#ifndef _WIN32
// The statuses a table documents: docs/cli.md's "| 3 | ..." rows, or the
// --help footer's "  3    ..." lines.
std::set<int> DocumentedStatuses(const std::string& text, const std::regex& row) {
  std::set<int> statuses;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), row); it != std::sregex_iterator();
       ++it) {
    statuses.insert(std::stoi((*it)[1]));
  }
  return statuses;
}

// Scripts rely on these numbers: every status the documentation promises is
// reached by one case, and the help and docs/cli.md promise the same ones.
TEST(CliExitStatus, EveryDocumentedStatusIsReachedByOneCase) {
  TempDir dir;
  const std::string big = dir.Write("big.bin", BinBuilder().Payload(240 * 400).WithCrc().Bytes());
  const struct {
    int status;
    std::vector<std::string> arguments;
    std::optional<std::string> outputFile;
    bool interrupt = false;  // Ctrl+C once the transfer is under way
    bool explainedInReport = false;  // the meter's row of the final table says why
  } cases[] = {
      {0, {"--visa", "sim", "update", Sample("dsp-newer.bin")}, {}},
      {1, {"info", Sample("dsp-newer.bin"), "--json"}, "/dev/full"},
      {1, {"--visa", "sim", "update", "-q", "--yes", Sample("dsp-newer.bin")}, "/dev/full"},
      {1, {"history"}, "/dev/full"},
      {2, {"--visa", "sim:colour=red", "list"}, {}},
      {2, {"--visa", "sim:meters=2", "identify"}, {}},
      {2, {"--visa", "sim:meters=2", "info", Sample("dsp-newer.bin")}, {}},
      {3, {"--visa", "sim", "update", (dir.path() / "missing.bin").string()}, {}},
      {4, {"--visa", "sim:absent=1", "update", Sample("dsp-newer.bin")}, {}},
      {5, {"--visa", "sim:status1=2", "update", Sample("dsp-newer.bin")}, {}},
      {6, {"--visa", "sim:mode=update", "update", Sample("dsp-newer.bin")}, {}},
      {7, {"--visa", "sim:adopt=0", "update", "--verify", "--yes", Sample("package-3.pak")}, {}, false, true},
      {7, {"--visa", "sim:status2=none", "update", "--yes", Sample("package-3.pak")}, {}},
      {130, {"--visa", "sim", "--time-scale", "0.02", "update", big}, {}, true},
  };
  std::set<int> reached;
  for (const auto& c : cases) {
    ProgramOptions options;
    options.outputFile = c.outputFile;
    bool interrupted = false;
    if (c.interrupt) {
      options.interruptible = true;
      options.onOutput = [&](int pid, const std::string& out) {
        if (!interrupted && Contains(out, "Progress: 2%")) {
          interrupted = true;
          SendInterrupt(pid);
        }
      };
    }
    std::vector<std::string> arguments = c.arguments;
    if (!c.interrupt) arguments.insert(arguments.begin(), {"--time-scale", kFast});
    const ProgramRun run = Cli(arguments, options);
    EXPECT_EQ(run.exitCode, c.status) << run.out << run.err;
    const bool explained = c.explainedInReport || !run.err.empty() || EndsWithOutcomeLine(run.out);
    EXPECT_TRUE(explained || c.status == 0) << "status " << c.status << " is explained";
    if (c.explainedInReport) {
      EXPECT_TRUE(Contains(run.out, "not verified")) << run.out;
    }
    reached.insert(run.exitCode);
  }

  std::ifstream docs(kDocs + "/cli.md");
  std::stringstream text;
  text << docs.rdbuf();
  const std::set<int> documented = DocumentedStatuses(text.str(), std::regex(R"(\n\| (\d+) \|)"));
  EXPECT_EQ(reached, documented) << "docs/cli.md and the program disagree";
  EXPECT_EQ(DocumentedStatuses(Cli({"--help"}).out, std::regex(R"(\n  (\d+) +\w)")), documented)
      << "--help and docs/cli.md disagree";
}
#endif

// Every name may lie outside ASCII (and outside Windows' ANSI code page),
// whether the command line or the environment gives it.
TEST(CliUpdate, NamesOutsideAsciiWork) {
  TempDir dir;
  const std::filesystem::path folder = dir.path() / PathFromUtf8("Prüfung Ω 測定");
  std::filesystem::create_directories(folder / "state");
  const std::string copy = Utf8FromPath(folder / PathFromUtf8("Prüfung Ω 測定 1.bin"));
  std::filesystem::copy_file(PathFromUtf8(Sample("dsp-newer.bin")), PathFromUtf8(copy));
  const std::string library = Utf8FromPath(folder / PathFromUtf8("visa ü.dll"));
  std::filesystem::copy_file(PathFromUtf8(kVisaDouble), PathFromUtf8(library));
  const std::string state = Utf8FromPath(folder / "state");

  const struct {
    const char* label;
    std::vector<std::string> arguments;
    std::map<std::string, std::optional<std::string>> environment;
    std::string trace;
  } cases[] = {
      {"named on the command line",
       {"--visa", "sim", "--trace", Utf8FromPath(folder / PathFromUtf8("Spur ü 測.txt"))},
       {},
       Utf8FromPath(folder / PathFromUtf8("Spur ü 測.txt"))},
      {"named in the environment",
       {},
       {{"QUORVEL_VISA", "system:path=" + library},
        {"QUORVEL_TRACE", Utf8FromPath(folder / PathFromUtf8("Umgebung ü 測.txt"))},
        {"QUORVEL_VISA_DOUBLE_TIME_SCALE", kFast}},
       Utf8FromPath(folder / PathFromUtf8("Umgebung ü 測.txt"))},
  };
  for (const auto& c : cases) {
    ProgramOptions options;
    options.environment = c.environment;
    options.environment[kStateFolderVariable] = state;
    std::vector<std::string> arguments = c.arguments;
    arguments.insert(arguments.end(), {"--time-scale", kFast, "update", copy, "--transcript"});
    const ProgramRun run = Cli(arguments, options);
    EXPECT_EQ(run.exitCode, 0) << c.label << "\n" << run.out << run.err;
    EXPECT_TRUE(Contains(run.out, "\"Prüfung Ω 測定 1.bin\" update completed.")) << run.out;
    EXPECT_TRUE(std::filesystem::exists(PathFromUtf8(c.trace))) << c.label << ": the trace";
  }
  EXPECT_TRUE(std::filesystem::exists(folder / "state" / "quorvel" / "history.jsonl"))
      << "the history goes to the folder the environment names";
}

#ifdef _WIN32
// A file another program holds open for writing: it may change under the update.
class UnreadableFile {
 public:
  explicit UnreadableFile(const TempDir& dir) : name_(dir.Write("held.bin", PatternBytes(100))) {
    writer_ =
        CreateFileW(PathFromUtf8(name_).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  ~UnreadableFile() {
    if (ok()) CloseHandle(writer_);
  }
  bool ok() const { return writer_ != INVALID_HANDLE_VALUE; }
  const std::string& name() const { return name_; }

 private:
  std::string name_;
  HANDLE writer_ = INVALID_HANDLE_VALUE;
};
#else
// A FIFO: opening it for reading would wait for a writer forever.
class UnreadableFile {
 public:
  explicit UnreadableFile(const TempDir& dir)
      : name_(Utf8FromPath(dir.path() / "not-a-file.bin")),
        ok_(::mkfifo(name_.c_str(), 0600) == 0) {}
  bool ok() const { return ok_; }
  const std::string& name() const { return name_; }

 private:
  std::string name_;
  bool ok_;
};
#endif

// A file the meter would refuse is found out before "system:update": the
// trace holds every write the meter received, and none is the mode switch.
TEST(CliUpdate, PreflightRefusesWithoutSwitchingTheMeter) {
  TempDir dir;
  const std::string olderPackage = dir.Write(
      "older.pak", PakBuilder().AddImage(BinBuilder().Version("01.10").Payload(300)).Bytes());
  const struct {
    std::string file;
    std::vector<std::string> options;
    std::string reason;
  } cases[] = {
      {Sample("dsp-older.bin"), {"-q"},
       "Firmware Update Not Possible (DSP). Binary file version is older"},
      {Sample("bad-signature.bin"), {"-q"}, "\"NOTUS\" is not the maker's signature."},
      {olderPackage, {"-q"}, "Firmware Update Not Possible (DSP). Binary file version is older"},
      {Sample("dsp-older.bin"), {"--json"}, ""},
      // Its own style names the meter but never announces a switch that does not come.
      {Sample("bad-signature.bin"), {"--yes"}, "\"NOTUS\" is not the maker's signature."},
  };
  for (const auto& c : cases) {
    const std::string trace = (dir.path() / "trace.txt").string();
    std::vector<std::string> arguments{"--visa", "sim",   "--time-scale", kFast,
                                       "--trace", trace, "update",       c.file};
    arguments.insert(arguments.end(), c.options.begin(), c.options.end());
    const ProgramRun run = Cli(arguments);
    EXPECT_EQ(run.exitCode, 3) << c.file << run.out << run.err;
    if (c.options.front() == "-q") {
      EXPECT_TRUE(run.out.starts_with("Refused: " + c.reason)) << run.out;
      EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1) << "-q: the outcome only";
    } else if (c.options.front() == "--yes") {
      EXPECT_TRUE(run.out.starts_with("Meter ")) << run.out;
      EXPECT_TRUE(Contains(run.out, "\nRefused: " + c.reason)) << run.out;
      EXPECT_FALSE(Contains(run.out, "update mode")) << run.out;
    } else {
      EXPECT_EQ(nlohmann::json::parse(run.out).at("meters").at(0).at("outcome"), "file refused");
    }
    const std::string traced = ReadFile(trace);
    EXPECT_TRUE(Contains(traced, "*idn?")) << "the meter was asked who it is";
    EXPECT_FALSE(Contains(traced, "system:update")) << c.file << traced;
  }
}

// A recorded trace as the meter: a file that differs from the recorded one
// by a byte is caught at its frame, and a trace without the replay's format
// is refused by name.
TEST(CliReplay, AChangedFrameEndsTheRunWithItsIndexAndATooOldTraceIsRefused) {
  const std::string recorded = kDocs + "/../tests/replay/sim-single-image.trace";
  TempDir dir;
  std::string bytes = ReadFile(Sample("dsp-newer.bin"));
  bytes[50 + 240 * 3 + 5] ^= 0x01;  // in the fourth data frame, after the 50-byte header
  const std::string changed = dir.Write("changed.bin", ByteVector(bytes.begin(), bytes.end()));
  const ProgramRun run =
      Cli({"--visa", "replay:" + recorded, "--time-scale", kFast, "update", changed, "-q"});
  EXPECT_EQ(run.exitCode, 2) << run.out << run.err;
  EXPECT_TRUE(Contains(run.err, "(frame 4 written to session")) << run.err;
  EXPECT_TRUE(Contains(run.err, "differs in sha256")) << run.err;

  std::string old;
  std::istringstream lines(ReadFile(recorded));
  for (std::string line; std::getline(lines, line);) {
    if (!line.starts_with("# quorvel trace")) old += line.substr(0, line.find(" ## ")) + '\n';
  }
  const ProgramRun tooOld =
      Cli({"--visa", "replay:" + dir.Write("old.trace", ByteVector(old.begin(), old.end())),
           "update", Sample("dsp-newer.bin")});
  EXPECT_EQ(tooOld.exitCode, 2) << "timed out: " << tooOld.timedOut << "\n" << tooOld.out << tooOld.err;
  EXPECT_TRUE(Contains(tooOld.err, "the trace is too old to replay")) << tooOld.err;
}

TEST(CliUpdate, SpeaksForItselfByDefault) {
  const struct {
    std::map<std::string, std::optional<std::string>> environment;
  } cases[] = {{{}}, {{{"NO_COLOR", "1"}}}};
  for (const auto& c : cases) {
    ProgramOptions options;
    options.environment = c.environment;
    const ProgramRun run = Cli(
        {"--visa", "sim:status1=2", "--time-scale", kFast, "update", Sample("dsp-newer.bin")},
        options);
    EXPECT_EQ(run.exitCode, 5);
    EXPECT_FALSE(Contains(run.out, "button")) << "no buttons to press in a terminal";
    EXPECT_FALSE(Contains(run.out, "Serial No:")) << "the window's log stays out";
    EXPECT_TRUE(run.out.starts_with("Meter USB0::0x1D7C::0x4A35::SN000123::INSTR, serial "
                                    "SN000123, DSP 01.20"))
        << run.out;
    EXPECT_TRUE(Contains(run.out, "Progress: 100%\n"));
    // The silent seconds after the switch say what they wait for, before any progress.
    EXPECT_LT(run.out.find("\nWaiting for the meter to switch to update mode...\n"
                           "Waiting for the meter to restart in update mode...\n"
                           "Looking for the meter in update mode...\n"),
              run.out.find("Progress: "))
        << run.out;
    EXPECT_TRUE(run.out.ends_with("\nUpdate failed: the meter reported CHECKSUM_ERROR for the "
                                  "image. Recycle the meter's power and try again.\n"))
        << run.out;
    EXPECT_FALSE(Contains(run.out, "\x1b[")) << "no colour in a pipe";
  }
}

TEST(CliJson, UpdateIsReportedAsAFleetOfOne) {
  const ProgramRun failed = Cli({"--visa", "sim:status1=2", "--time-scale", kFast, "update",
                                 "--json", "--yes", Sample("package-3.pak")});
  const auto json = nlohmann::json::parse(failed.out);
  EXPECT_EQ(json.at("exitStatus"), failed.exitCode);
  EXPECT_EQ(failed.exitCode, 5);
  ASSERT_EQ(json.at("meters").size(), 1u);
  const auto& meter = json.at("meters").at(0);
  EXPECT_EQ(meter.at("serial"), "SN000123");
  EXPECT_EQ(meter.at("outcome"), "transfer failed");
  EXPECT_EQ(meter.at("image"), 1);
  EXPECT_EQ(meter.at("imageCount"), 3);
  EXPECT_EQ(meter.at("meterStatus"), "CHECKSUM_ERROR");
  EXPECT_EQ(meter.at("switchedToUpdateMode"), true);
  EXPECT_EQ(meter.at("reason"), "the meter reported CHECKSUM_ERROR for image 1 of 3");
  // The versions in the shape list and identify give them.
  EXPECT_EQ(meter.at("versionsBefore").at("msp430"), "12");
}

// With --json, standard output is one JSON document whatever happens: an
// error is {"error": {"code", "message"}}, the same words as on standard error.
TEST(CliJson, ErrorsAreOneDocumentAScriptCanRead) {
  TempDir dir;
  const std::string missing = (dir.path() / "missing.bin").string();
  const std::string folder = dir.path().string();
  const struct {
    std::vector<std::string> arguments;
    int code;
    std::string message;
  } cases[] = {
      {{"--visa", "sim:absent=1", "identify", "--json"}, 4, "no meter found."},
      {{"--visa", "sim:absent=1", "update", "--json", "--yes", Sample("dsp-newer.bin")}, 4,
       "no meter found."},
      {{"--visa", "sim:meters=2", "identify", "--json"}, 2, "choose one with --resource"},
      {{"info", "--json", missing}, 3, "cannot open \"" + missing + "\" for reading."},
      {{"update", "--json", missing}, 3, "cannot open \"" + missing + "\" for reading;"},
      {{"update", "--json", "--yes", folder}, 3, "\"" + folder + "\" is a directory"},
      {{"info", "--json", folder}, 3, "\"" + folder + "\" is a directory, not a firmware file."},
      {{"list", "--jsn", "--json"}, 2, "did you mean \"--json\"?"},
      {{"--visa", "sim:absent=1", "list", "--json"}, 4, "no meter found."},
  };
  for (const auto& c : cases) {
    const ProgramRun run = Cli(c.arguments);
    const std::string label = c.arguments[c.arguments.size() - 2] + " " + c.arguments.back();
    EXPECT_EQ(run.exitCode, c.code) << label << "\n" << run.err;
    const auto json = nlohmann::json::parse(run.out, nullptr, false);
    ASSERT_TRUE(json.is_object()) << label << "\n" << run.out;
    EXPECT_EQ(json["error"]["code"], c.code) << label;
    const std::string message = json["error"].value("message", "");
    EXPECT_TRUE(Contains(message, c.message)) << label << "\n" << message;
    EXPECT_TRUE(Contains(run.err, "quorvel-cli: " + message)) << label << "\n" << run.err;
  }
  // A list keeps its shape: scripts read an empty list beside the error.
  const auto empty = nlohmann::json::parse(Cli({"--visa", "sim:absent=1", "list", "--json"}).out);
  EXPECT_EQ(empty["meters"], nlohmann::json::array());
}

TEST(CliUpdate, AFileThatCannotBeReadNeverReachesTheMeter) {
  TempDir dir;
  const UnreadableFile file(dir);
  ASSERT_TRUE(file.ok());
  const ProgramRun run = Update("sim", file.name());
  EXPECT_EQ(run.exitCode, 3) << run.err;
  EXPECT_TRUE(Contains(run.err, "the meter was not touched")) << run.err;
  EXPECT_EQ(run.out, "");

#ifndef _WIN32  // describing a file that is being written does no harm
  const ProgramRun info = Cli({"info", file.name()});
  EXPECT_EQ(info.exitCode, 3) << info.err;
#endif
}

TEST(CliUpdate, SeveralMetersNeedAChoiceAndTheChoiceIsKept) {
  const ProgramRun ambiguous = Update("sim:meters=2", Sample("dsp-newer.bin"));
  EXPECT_EQ(ambiguous.exitCode, 2);
  EXPECT_TRUE(Contains(ambiguous.err, "USB0::0x1D7C::0x4A35::SN000124::INSTR"));
  EXPECT_FALSE(Contains(ambiguous.out, "Serial No:")) << "nothing was asked of any meter";

  const ProgramRun chosen = Update("sim:meters=2", Sample("dsp-newer.bin"),
                                   {"--resource", "USB0::0x1D7C::0x4A35::SN000123::INSTR"});
  EXPECT_EQ(chosen.exitCode, 0) << chosen.out << chosen.err;
  EXPECT_TRUE(Contains(chosen.out, "Serial No: SN000123"));
}

TEST(CliUpdate, CtrlCStopsBetweenFramesAndLeavesTheMeterInUpdateMode) {
  TempDir dir;
  const std::string big = dir.Write("big.bin", BinBuilder().Payload(240 * 400).WithCrc().Bytes());
  bool interrupted = false;
  ProgramOptions options;
  options.interruptible = true;
  options.onOutput = [&](int pid, const std::string& out) {
    if (!interrupted && Contains(out, "Progress: 2%")) {
      interrupted = true;
      SendInterrupt(pid);
    }
  };
  const ProgramRun run = Cli({"--time-scale", "0.02", "update", big}, options);
  ASSERT_TRUE(interrupted) << run.out << run.err;
  EXPECT_EQ(run.exitCode, 130) << run.out << run.err;
  EXPECT_TRUE(Contains(run.out, "\nStopped: by Ctrl+C; the meter is left in update mode.")) << run.out;
  EXPECT_FALSE(Contains(run.out, "Progress: 50%")) << "stopped long before the end";
  EXPECT_FALSE(Contains(run.out, "update completed"));
}

// Several meters at once, with the history kept in a folder of the test's own.
class CliFleet : public ::testing::Test {
 protected:
  ProgramRun Run(std::vector<std::string> arguments) {
    ProgramOptions options;
    options.environment[kStateFolderVariable] = state.path().string();
    return Cli(arguments, options);
  }
  ProgramRun Fleet(const std::string& visa, const std::string& file,
                   std::vector<std::string> extra) {
    std::vector<std::string> arguments{"--visa", visa, "--time-scale", kFast, "update", file};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    return Run(arguments);
  }
  static nlohmann::json Json(const ProgramRun& run) {
    return nlohmann::json::parse(run.out, nullptr, /*allow_exceptions=*/false);
  }
  TempDir state;
};

TEST_F(CliFleet, AFailingMeterFailsAloneAndTheReportSaysWhy) {
  const std::string visa = "sim:meters=3,status1@2=2";
  const ProgramRun run = Fleet(visa, Sample("dsp-newer.bin"), {"--all", "--yes"});
  ASSERT_FALSE(run.timedOut);
  EXPECT_EQ(run.exitCode, 5) << run.out << run.err;
  // Every meter's lines carry its serial; the table closes the run.
  EXPECT_TRUE(Contains(run.out, "[SN000124] CHECKSUM_ERROR\n")) << run.out;
  EXPECT_TRUE(Contains(run.out, "[SN000123] Progress: 100%\n"));
  EXPECT_TRUE(Contains(run.out, "[SN000125] \"dsp-newer.bin\" update completed."));
  EXPECT_TRUE(Contains(run.out,
                       "RESOURCE                               SERIAL    BEFORE       FILE    "
                       "       OUTCOME          REASON\n"
                       "USB0::0x1D7C::0x4A35::SN000123::INSTR  SN000123  01.20.05.12  "
                       "dsp-newer.bin  installed\n"
                       "USB0::0x1D7C::0x4A35::SN000124::INSTR  SN000124  01.20.05.12  "
                       "dsp-newer.bin  transfer failed  the meter reported CHECKSUM_ERROR for the "
                       "image\n"
                       "USB0::0x1D7C::0x4A35::SN000125::INSTR  SN000125  01.20.05.12  "
                       "dsp-newer.bin  installed\n"))
      << run.out;

  // The same meters named one by one, reported as JSON.
  const ProgramRun named =
      Fleet(visa, Sample("dsp-newer.bin"),
            {"--resource", "USB0::0x1D7C::0x4A35::SN000124::INSTR", "--resource",
             "USB0::0x1D7C::0x4A35::SN000125::INSTR", "--json"});
  EXPECT_EQ(named.exitCode, 5) << named.err;
  const nlohmann::json report = Json(named);
  ASSERT_TRUE(report.is_object()) << named.out;
  EXPECT_EQ(report["exitStatus"], 5);
  ASSERT_EQ(report["meters"].size(), 2u);
  EXPECT_EQ(report["meters"][0]["serial"], "SN000124");
  EXPECT_EQ(report["meters"][0]["outcome"], "transfer failed");
  EXPECT_EQ(report["meters"][0]["reason"], "the meter reported CHECKSUM_ERROR for the image");
  EXPECT_EQ(report["meters"][1]["outcome"], "installed");
  EXPECT_EQ(report["meters"][1]["identityBefore"], "NAVIR,Q1000,SN000125,01.20.05.12");

  // Each attempt is in the history, the meter filter picks one meter's.
  const nlohmann::json all = Json(Run({"history", "--json"}));
  ASSERT_EQ(all.size(), 5u) << all.dump();
  const nlohmann::json one = Json(Run({"history", "--json", "--serial", "SN000124"}));
  ASSERT_EQ(one.size(), 2u);
  EXPECT_EQ(one[0]["outcome"], "transfer failed");
  EXPECT_EQ(one[0]["file"]["name"], "dsp-newer.bin");
  EXPECT_EQ(one[0]["file"]["sha256"].get<std::string>().size(), 64u);
  EXPECT_EQ(one[0]["backend"], visa);
}

// Through a library that hands a closed number out again at once: the lost
// meter's worker must not close the healthy meter's session on its way out.
TEST_F(CliFleet, AMeterThatNeverComesBackLeavesTheOthersSessionsAlone) {
  ProgramOptions options;
  options.environment[kStateFolderVariable] = state.path().string();
  options.environment["QUORVEL_VISA_LIBRARY"] = kVisaDouble;
  options.environment["QUORVEL_VISA_DOUBLE"] = "meters=2,return@2=0";
  options.environment["QUORVEL_VISA_DOUBLE_TIME_SCALE"] = kFast;
  options.environment["QUORVEL_VISA_DOUBLE_REUSE"] = "1";
  const ProgramRun run = Cli({"--visa", "system", "--time-scale", kFast, "update", "--all", "--yes",
                              Sample("dsp-newer.bin"), "--json"},
                             options);
  const nlohmann::json report = Json(run);
  ASSERT_TRUE(report.is_object()) << run.out << run.err;
  EXPECT_EQ(report["meters"][0]["outcome"], "installed") << run.out;
  EXPECT_NE(report["meters"][1]["outcome"], "installed") << run.out;
  EXPECT_EQ(run.exitCode, 5) << "the lost meter is left in update mode";
}

TEST_F(CliFleet, VerifyTellsWhetherEachMeterCameBackRunningTheFile) {
  const ProgramRun run = Fleet("sim:meters=3,adopt@2=0,return@3=once", Sample("package-3.pak"),
                               {"--all", "--verify", "--yes", "--json"});
  EXPECT_EQ(run.exitCode, 7) << run.err;
  const nlohmann::json report = Json(run);
  ASSERT_TRUE(report.is_object()) << run.out << run.err;
  const char* const expected[] = {"verified", "not verified: still 01.20", "did not come back"};
  for (std::size_t meter = 0; meter < 3; ++meter) {
    EXPECT_EQ(report["meters"][meter]["outcome"], "installed") << meter;
    EXPECT_EQ(report["meters"][meter]["verification"], expected[meter]) << meter;
  }
  EXPECT_EQ(report["meters"][0]["identityAfter"], "NAVIR,Q1000,SN000123,01.30.06.12");
  EXPECT_TRUE(Contains(run.err, "recycle its power now")) << run.err;

  const nlohmann::json history = Json(Run({"history", "--json"}));
  ASSERT_EQ(history.size(), 3u);
  // The workers finish in any order; so do their records.
  for (const nlohmann::json& record : history) {
    if (record["serial"] == "SN000123") {
      EXPECT_EQ(record.value("identityAfter", ""), "NAVIR,Q1000,SN000123,01.30.06.12");
    }
  }
}

// What --verify and --all conclude of one meter, on files as the meter sees them.
TEST_F(CliFleet, VerifyAndSkipJudgeEachFileAndMeterRightly) {
  // A package image with no header of its own: its stored 0xFF bytes decode
  // as target 0 (the DSP), which must not count as a version it promises.
  ByteVector raw(300, 0xFF);
  AppendLittleEndian32(raw, Crc32(raw));
  const std::string rawImagePackage = state.Write(
      "raw-image.pak",
      PakBuilder()
          .AddImage(BinBuilder().Version("01.30").Payload(600).RecordVersionInPayload().WithCrc())
          .AddImage(raw)
          .AddImage(BinBuilder().Target(1).Version("06.00").Payload(200).WithCrc())
          .Bytes());
  const struct {
    const char* label;
    std::string visa;
    std::string file;
    std::vector<std::string> extra;
    int exitCode;
    std::size_t meter;
    const char* outcome;
    const char* verification;  // null: not asked
    int imagesAccepted = 0;
    std::vector<int> imagesUnconfirmed{};
  } cases[] = {
      {".bin verified", "sim", Sample("dsp-newer.bin"), {"--verify"}, 0, 0, "installed", "verified",
       1},
      {".bin not taken", "sim:adopt=0", Sample("dsp-newer.bin"), {"--verify"}, 7, 0, "installed",
       "not verified: still 01.20", 1},
      // Without a final verdict only the versions the meter comes back with settle it.
      {".pak unconfirmed", "sim:status2=none", Sample("package-3.pak"), {}, 7, 0, "unconfirmed",
       nullptr, 3, {1, 2, 3}},
      {".pak unconfirmed, then verified", "sim:end_reply=none", Sample("package-3.pak"),
       {"--verify"}, 0, 0, "unconfirmed", "verified", 3, {1, 2, 3}},
      {".pak unconfirmed, never installed", "sim:status2=none,reboot_ms=0", Sample("package-3.pak"),
       {"--verify"}, 7, 0, "unconfirmed", "did not come back", 3, {1, 2, 3}},
      // A single image fails without its final verdict, and --verify cannot undo that.
      {".bin without a final verdict", "sim:end_reply=none", Sample("dsp-newer.bin"), {"--verify"},
       5, 0, "transfer failed", nullptr},
      {"raw package image", "sim", rawImagePackage, {"--verify"}, 0, 0, "installed", "verified", 3},
      {"identity with a line end", "sim:newline=1", Sample("package-3.pak"), {"--verify"}, 0, 0,
       "installed", "verified", 3},
      {"one meter in update mode", "sim:meters=2,mode@2=update", Sample("dsp-newer.bin"),
       {"--all"}, 0, 1, "skipped", nullptr},
      // Nothing updated is no success.
      {"every meter in update mode", "sim:meters=2,mode=update", Sample("dsp-newer.bin"),
       {"--all"}, 6, 1, "skipped", nullptr},
      // A meter stranded in update mode outranks one that was not verified.
      {"stranded meter", "sim:meters=2,adopt@1=0,return@2=0", Sample("dsp-newer.bin"),
       {"--all", "--verify"}, 5, 1, "no meter", nullptr},
  };
  for (const auto& c : cases) {
    std::vector<std::string> extra = c.extra;
    extra.insert(extra.end(), {"--yes", "--json"});
    const ProgramRun run = Fleet(c.visa, c.file, extra);
    EXPECT_EQ(run.exitCode, c.exitCode) << c.label << "\n" << run.out << run.err;
    const nlohmann::json meter = Json(run)["meters"][c.meter];
    EXPECT_EQ(meter["outcome"], c.outcome) << c.label << "\n" << run.out;
    EXPECT_EQ(meter.value("verification", ""), c.verification ? c.verification : "") << c.label;
    if (c.meter == 0) {
      EXPECT_EQ(meter["imagesAccepted"], c.imagesAccepted) << c.label;
      EXPECT_EQ(meter["imagesUnconfirmed"], nlohmann::json(c.imagesUnconfirmed)) << c.label;
      // The bytes sent, named as the history names them.
      EXPECT_EQ(meter.value("fileSha256", "").size(), 64u) << c.label;
    }
  }
  // The table says a failed verification once, not again as its reason.
  const ProgramRun table = Fleet("sim:adopt=0", Sample("dsp-newer.bin"), {"--verify", "--yes"});
  EXPECT_TRUE(Contains(table.out, "installed, not verified: still 01.20\n")) << table.out;
  EXPECT_FALSE(Contains(table.out, "still 01.20: not verified")) << table.out;
}

TEST_F(CliFleet, ADamagedHistoryLineIsSkippedWithAWarning) {
  const ProgramRun first = Fleet("sim", Sample("dsp-newer.bin"), {});
  ASSERT_EQ(first.exitCode, 0) << first.err;
  // A single update records the meter it reached and who it said it was.
  const nlohmann::json recorded = Json(Run({"history", "--json"}));
  ASSERT_EQ(recorded.size(), 1u) << recorded.dump();
  EXPECT_EQ(recorded[0]["resource"], "USB0::0x1D7C::0x4A35::SN000123::INSTR");
  EXPECT_EQ(recorded[0]["identityBefore"], "NAVIR,Q1000,SN000123,01.20.05.12");
  {
    std::ofstream history(state.path() / "quorvel" / "history.jsonl", std::ios::app);
    history << "{\"half a record\n";
  }
  ASSERT_EQ(Fleet("sim", Sample("dsp-older.bin"), {}).exitCode, 3);
  const ProgramRun listing = Run({"history"});
  EXPECT_EQ(listing.exitCode, 0);
  EXPECT_TRUE(Contains(listing.err, "line 2 of")) << listing.err;
  EXPECT_TRUE(Contains(listing.out, "dsp-newer.bin  installed")) << listing.out;
  EXPECT_TRUE(Contains(listing.out, "dsp-older.bin  file refused: Firmware Update Not Possible "
                                    "(DSP). Binary file version is older"))
      << "a reason of several lines is printed on one: " << listing.out;
  EXPECT_EQ(Run({"history", "--serial", "NOPE"}).out, "no records\n");
}

TEST(CliArguments, AreCheckedBeforeAnythingIsDone) {
  const struct {
    const char* label;
    std::vector<std::string> arguments;
    std::string says = {};
  } cases[] = {
      {"no command", {}, "a command is required: list, identify, info, update, history or doctor"},
      {"misspelt common option", {"--vsia", "sim", "list"},
       "unknown option \"--vsia\"; did you mean \"--visa\"?"},
      {"misspelt option of the command", {"list", "--jsn"},
       "unknown option \"--jsn\"; did you mean \"--json\"?"},
      {"-v", {"-v"}, "unknown option \"-v\"; did you mean \"--version\""},
      {"misspelt help after the command", {"list", "--hlep"},
       "unknown option \"--hlep\"; did you mean \"--help\"?"},
      {"unknown command", {"flash"}},
      {"update without a file", {"update"}},
      {"misspelt command", {"lsit"}},
      {"unknown option", {"list", "--fast"}},
      {"unknown backend", {"--visa", "gpib", "list"}},
      {"unknown knob", {"--visa", "sim:colour=red", "list"}},
      {"time scale with a real meter", {"--visa", "usbtmc", "--time-scale", "0.01", "list"}},
      {"time scale zero", {"--time-scale", "0", "list"}},
      {"time scale not a number", {"--time-scale", "fast", "list"}},
      {"very long backend name", {"--visa", std::string(5000, 'g'), "list"}},
      {"very long knob value", {"--visa", "sim:serial=" + std::string(5000, 'S'), "list"}},
      {"very long knob name", {"--visa", "sim:" + std::string(5000, 'k') + "=1", "list"}},
      {"--all with --resource",
       {"update", kSamples + "/dsp-newer.bin", "--all", "--resource", "USB0::0x1::0x2::A::INSTR"}},
      {"--transcript with -q", {"update", kSamples + "/dsp-newer.bin", "--transcript", "-q"}},
      {"--json with --transcript", {"update", kSamples + "/dsp-newer.bin", "--json", "--transcript"}},
      {"one meter named twice",
       {"update", kSamples + "/dsp-newer.bin", "--resource", "USB0::0x1D7C::0x4A35::SN000123::INSTR",
        "--resource", "USB1::0x1D7C::0x4A35::sn000123::INSTR"}},
  };
  for (const auto& c : cases) {
    const ProgramRun run = Cli(c.arguments);
    EXPECT_EQ(run.exitCode, 2) << c.label << "\n" << run.err;
    EXPECT_TRUE(run.err.starts_with("quorvel-cli: " + c.says)) << c.label << "\n" << run.err;
    // Arguments are quoted at most 200 characters long.
    EXPECT_LT(run.err.size(), 1000u) << c.label << "\n" << run.err;
  }
  EXPECT_TRUE(Contains(Cli({"--visa", "sim", "lsit"}).err, "did you mean \"list\"?"));
}

TEST(CliArguments, HelpNamesTheExitStatuses) {
  const ProgramRun run = Cli({"--help"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_TRUE(Contains(run.out, "130  stopped by Ctrl+C"));
  EXPECT_TRUE(Contains(run.out, "QUORVEL_VISA"));
}

TEST(CliBackend, ComesFromTheEnvironmentUnlessTheCommandLineNamesOne) {
  ProgramOptions absent;
  absent.environment["QUORVEL_VISA"] = "sim:absent=1";
  EXPECT_EQ(RunProgram(kCli, {"--time-scale", kFast, "list"}, absent).exitCode, 4);
  EXPECT_EQ(RunProgram(kCli, {"--visa", "sim", "--time-scale", kFast, "list"}, absent).exitCode, 0);
  // The common options may follow the command too.
  EXPECT_EQ(RunProgram(kCli, {"list", "--visa", "sim", "--time-scale", kFast}, absent).exitCode, 0);
}

TEST(CliSystemBackend, ALibraryThatCannotServeIsNamedWithWhatWasWrong) {
  const struct {
    const char* label;
    std::string visa;
    std::map<std::string, std::optional<std::string>> environment;
    int exitCode;
    std::string inErr;
    std::string inOut;
    std::vector<std::string> command = {"list"};
  } cases[] = {
#ifdef _WIN32
      {"missing file", "system:path=C:/no/such/visa64.dll", {}, 2,
       "\"C:/no/such/visa64.dll\": ", ""},
#else
      {"missing file", "system:path=/no/such/libvisa.so.0", {}, 2,
       "\"/no/such/libvisa.so.0\": /no/such/libvisa.so.0: cannot open shared object file", ""},
#endif
      {"no viOpenDefaultRM", "system:path=" + kVisaDoubleWithoutRm, {}, 2,
       "lacks viOpenDefaultRM", ""},
      {"viOpenDefaultRM fails", "system", {{"QUORVEL_VISA_DOUBLE_BROKEN", "1"}}, 2,
       "its viOpenDefaultRM failed with status 0xBFFF0000", ""},
      {"unknown option", "system:pth=x", {}, 2, "the system backend takes path=FILE", ""},
      // A library that writes a name without an end gets it cut to the
      // descriptor buffer; one that claims a read longer than the buffer has
      // nothing of that read believed.
      {"descriptor without an end", "system", {{"QUORVEL_VISA_DOUBLE_HOSTILE", "names"}}, 0, "",
       "\n" + std::string(VI_FIND_BUFLEN - 1, 'X') + "\n  could not be opened"},
      {"read beyond the buffer", "system", {{"QUORVEL_VISA_DOUBLE_HOSTILE", "counts"}}, 0, "",
       "  Identity: \n"},
      // A failed open is no meter, whatever handle 0 would reach; a failed
      // write failed, whatever count it claims.
      {"viOpen fails with session 0", "system", {{"QUORVEL_VISA_DOUBLE_HOSTILE", "open"}}, 4, "",
       "\nNot updated: USBTMC device not found.",
       {"--time-scale", kFast, "update", Sample("dsp-newer.bin")}},
      {"viWrite fails claiming the whole count", "system",
       {{"QUORVEL_VISA_DOUBLE_HOSTILE", "writes"}}, 5, "",
       "\nUpdate failed: a frame of the image could not be written",
       {"--time-scale", kFast, "update", Sample("dsp-newer.bin")}},
  };
  for (const auto& c : cases) {
    ProgramOptions options;
    options.environment = c.environment;
    options.environment["QUORVEL_VISA_LIBRARY"] = kVisaDouble;
    options.environment["QUORVEL_VISA_DOUBLE_TIME_SCALE"] = kFast;
    std::vector<std::string> arguments{"--visa", c.visa};
    arguments.insert(arguments.end(), c.command.begin(), c.command.end());
    const ProgramRun run = Cli(arguments, options);
    EXPECT_EQ(run.exitCode, c.exitCode) << c.label << "\n" << run.out << run.err;
    EXPECT_TRUE(Contains(run.err, c.inErr)) << c.label << "\n" << run.err;
    EXPECT_TRUE(Contains("\n" + run.out, c.inOut)) << c.label << "\n" << run.out;
  }

  // Nothing named: the usual places, each named in the one message.
  ProgramOptions unnamed;
  unnamed.environment["QUORVEL_VISA_LIBRARY"] = std::nullopt;
  unnamed.environment["LD_LIBRARY_PATH"] = "/nonexistent";
  const ProgramRun none = Cli({"--visa", "system", "list"}, unnamed);
  if (none.exitCode == 2) {  // unless a VISA library is installed on this machine
#ifdef _WIN32
    EXPECT_TRUE(Contains(none.err, "\"visa64.dll\"")) << none.err;
#else
    EXPECT_TRUE(Contains(none.err, "\"libvisa.so.0\"") && Contains(none.err, "\"libiovisa.so\""))
        << none.err;
#endif
  }
}

// A reply longer than the caller's buffer is cut to leave room for the
// terminator, and not a byte is written past the buffer (run under ASan too).
TEST(CliSystemBackend, ScanfKeepsTheReplyInsideTheCallersBuffer) {
#ifdef _WIN32
  _putenv_s("QUORVEL_VISA_DOUBLE_TIME_SCALE", "0.01");
#else
  setenv("QUORVEL_VISA_DOUBLE_TIME_SCALE", "0.01", 1);
#endif
  std::string error;
  const auto visa = SystemVisa::Load({{.file = kVisaDouble, .origin = "test", .named = true}}, &error);
  ASSERT_TRUE(visa) << error;
  ViSession manager = VI_NULL;
  ASSERT_EQ(visa->viOpenDefaultRM(&manager), VI_SUCCESS);
  ViSession session = VI_NULL;
  ASSERT_EQ(visa->viOpen(manager, "USB0::0x1D7C::0x4A35::SN000123::INSTR", 0, 0, &session),
            VI_SUCCESS);
  const std::string identity = "NAVIR,Q1000,SN000123,01.20.05.12";
  for (const std::size_t size : {std::size_t{2}, std::size_t{8}, identity.size(),
                                 identity.size() + 1, std::size_t{200}}) {
    ASSERT_EQ(visa->viPrintf(session, "*idn?\n"), VI_SUCCESS);
    std::vector<ViChar> buffer(size + 16, '#');  // what follows the buffer must stay as it is
    visa->viScanf(session, "%t", buffer.data(), size);
    const std::string read(buffer.data());
    EXPECT_EQ(read, identity.substr(0, std::min(identity.size(), size - 1))) << size;
    EXPECT_EQ(std::string(buffer.begin() + static_cast<std::ptrdiff_t>(size), buffer.end()),
              std::string(16, '#'))
        << size;
  }
  visa->viClose(session);
  visa->viClose(manager);
}

TEST(CliSystemBackend, ListsTheMetersBehindTheLibraryAsSimDoes) {
  ProgramOptions options;
  options.environment["QUORVEL_VISA_LIBRARY"] = kVisaDouble;
  options.environment["QUORVEL_VISA_DOUBLE"] = "meters=2";
  options.environment["QUORVEL_VISA_DOUBLE_TIME_SCALE"] = kFast;
  const ProgramRun viaLibrary = Cli({"--visa", "system", "--time-scale", kFast, "list"}, options);
  const ProgramRun viaSim = Cli({"--visa", "sim:meters=2", "--time-scale", kFast, "list"});
  EXPECT_EQ(viaLibrary.exitCode, 0) << viaLibrary.err;
  EXPECT_EQ(viaLibrary.out, viaSim.out);
}

TEST(CliList, ShowsEveryMeterWithIdentitySerialVersionsAndMode) {
  const ProgramRun run = Cli({"--visa", "sim:meters=2", "--time-scale", kFast, "list"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out,
            "USB0::0x1D7C::0x4A35::SN000123::INSTR\n"
            "  Identity: NAVIR,Q1000,SN000123,01.20.05.12\n"
            "  Serial:   SN000123\n"
            "  Versions: DSP 01.20, Panel 05, MSP 430 12\n"
            "  Mode:     normal\n"
            "USB0::0x1D7C::0x4A35::SN000124::INSTR\n"
            "  Identity: NAVIR,Q1000,SN000124,01.20.05.12\n"
            "  Serial:   SN000124\n"
            "  Versions: DSP 01.20, Panel 05, MSP 430 12\n"
            "  Mode:     normal\n");

  const auto json = nlohmann::json::parse(
      Cli({"--visa", "sim:meters=2", "--time-scale", kFast, "list", "--json"}).out);
  ASSERT_EQ(json.at("meters").size(), 2u);
  EXPECT_EQ(json.at("meters").at(1).at("serial"), "SN000124");
  EXPECT_EQ(json.at("meters").at(0).at("versions").at("dsp"), "01.20");
  EXPECT_EQ(json.at("meters").at(0).at("mode"), "normal");

  const ProgramRun updateMode = Cli({"--visa", "sim:mode=update", "--time-scale", kFast, "list"});
  EXPECT_TRUE(Contains(updateMode.out, "  Mode:     update\n")) << updateMode.out;
  EXPECT_EQ(Cli({"--visa", "sim:absent=1", "--time-scale", kFast, "list"}).exitCode, 4);

  // No more than 64 are listed, and the rest are counted.
  const ProgramRun many = Cli({"--visa", "sim:meters=70", "--time-scale", kFast, "list", "--json"});
  EXPECT_EQ(many.exitCode, 0) << many.err;
  const auto manyJson = nlohmann::json::parse(many.out);
  EXPECT_EQ(manyJson.at("meters").size(), 64u);
  EXPECT_EQ(manyJson.at("notListed"), 6);
  EXPECT_TRUE(Contains(many.err, "6 more meters were found but not listed")) << many.err;
}

TEST(CliIdentify, NamesOneMeterChosenOrFound) {
  const ProgramRun chosen = Cli({"--visa", "sim:meters=3", "--time-scale", kFast, "identify",
                                 "--resource", "USB0::0x1D7C::0x4A35::SN000125::INSTR"});
  EXPECT_EQ(chosen.exitCode, 0) << chosen.err;
  EXPECT_TRUE(Contains(chosen.out, "Serial:   SN000125\n")) << chosen.out;

  const auto json = nlohmann::json::parse(
      Cli({"--visa", "sim", "--time-scale", kFast, "identify", "--json"}).out);
  EXPECT_EQ(json.at("identity"), "NAVIR,Q1000,SN000123,01.20.05.12");
  EXPECT_EQ(json.at("versions").at("msp430"), "12");

  const ProgramRun missing = Cli(
      {"--time-scale", kFast, "identify", "--resource", "USB0::0x1D7C::0x4A35::SN999999::INSTR"});
  EXPECT_EQ(missing.exitCode, 4);

  const ProgramRun silent = Cli({"--visa", "sim:silent=1", "--time-scale", kFast, "identify"});
  EXPECT_EQ(silent.exitCode, 4);
  EXPECT_TRUE(Contains(silent.err, "did not identify itself")) << silent.err;
}

TEST(CliInfo, DescribesTheSampleFilesAsJson) {
  // Without a meter named on the command line (QUORVEL_VISA alone is not
  // enough) no version is judged; with one, the update's whole check is.
  const std::vector<std::string> kMeter{"--visa", "sim", "--time-scale", kFast};
  const std::vector<std::string> kNamedMeter{"--time-scale", kFast, "--resource",
                                             "USB0::0x1D7C::0x4A35::SN000123::INSTR"};
  const struct {
    const char* file;
    std::vector<std::string> meter;
    const char* kind;
    bool passed;
    int exitCode;
  } cases[] = {
      {"dsp-newer.bin", {}, "image", true, 0},
      {"dsp-older.bin", {}, "image", true, 0},
      {"dsp-older.bin", kMeter, "image", false, 3},
      {"dsp-newer.bin", kNamedMeter, "image", true, 0},
      {"bad-signature.bin", {}, "image", false, 3},
      {"package-3.pak", {}, "package", true, 0},
      {"package-3.pak", kMeter, "package", true, 0},
      {"damaged.pak", {}, "package", false, 3},
  };
  for (const auto& c : cases) {
    std::vector<std::string> arguments{"info", Sample(c.file), "--json"};
    arguments.insert(arguments.end(), c.meter.begin(), c.meter.end());
    const ProgramRun run = Cli(arguments);
    EXPECT_EQ(run.exitCode, c.exitCode) << c.file << run.err;
    const auto json = nlohmann::json::parse(run.out, nullptr, false);
    ASSERT_FALSE(json.is_discarded()) << c.file << "\n" << run.out;
    EXPECT_EQ(json.at("kind"), c.kind) << c.file;
    EXPECT_EQ(json.at("passed"), c.passed) << c.file;
    EXPECT_EQ(json.at("versionChecked"), !c.meter.empty()) << c.file;
  }
  // The text leads with what was checked, and never promises what it did not check.
  const ProgramRun older = Cli({"info", Sample("dsp-older.bin")});
  EXPECT_TRUE(older.out.starts_with("Verdict: signature, target and header pass. The version "
                                    "check needs a meter"))
      << older.out;
  EXPECT_FALSE(Contains(older.out, "would take")) << older.out;

  const auto image = nlohmann::json::parse(Cli({"info", "--json", Sample("dsp-newer.bin")}).out);
  EXPECT_EQ(image.at("header").at("signature"), "NAVIR");
  EXPECT_EQ(image.at("header").at("target"), "DSP");
  EXPECT_EQ(image.at("payloadSize"), image.at("size").get<int>() - 50);

  const auto package = nlohmann::json::parse(Cli({"info", "--json", Sample("package-3.pak")}).out);
  EXPECT_EQ(package.at("entryCount"), 3);
  EXPECT_EQ(package.at("entries").size(), 3u);
}

}  // namespace
}  // namespace quorvel::testing
