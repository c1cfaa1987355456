#pragma once
// The commands of quorvel-cli, apart from argument parsing.
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "cli/backend.h"
#include "cli/exit_status.h"
#include "common/json_text.h"
#include "firmware/file_source.h"

namespace quorvel::cli {

struct Streams {
  std::ostream& out;
  std::ostream& err;
  bool outIsTerminal = false;
  // --json: standard output carries one JSON document whatever happens, an
  // error included.
  bool json = false;
};

// Every message of the program on standard error starts with its name.
inline constexpr std::string_view kProgramName = "quorvel-cli: ";

// Writes "quorvel-cli: MESSAGE" on standard error and gives `status` back;
// with --json also {"error": {"code": STATUS, "message": MESSAGE}} on standard
// output, which must then hold nothing else.
ExitStatus Fail(Streams streams, ExitStatus status, std::string_view message);

// Why a firmware file named on the command line cannot be read, without a
// full stop: `cannot open "F" for reading`, or `"F" is a directory, not a
// firmware file`.
std::string UnreadableFileText(const std::string& path);

// The firmware file named on the command line as a full path the update can
// open; otherwise says why not (ending "; UNTOUCHED.") and sets `status`.
std::optional<std::string> ResolveFirmwareFile(const std::string& file, FileSystem& files,
                                               Streams streams, std::string_view untouched,
                                               ExitStatus& status);

// `status`, unless standard output could not be written (a full disk): then
// that is said, and the status is 1 unless `status` is worse.
ExitStatus OutputWritten(Streams streams, ExitStatus status);

// The error member of a --json document: {"code": STATUS, "message": MESSAGE}.
Json ErrorJson(ExitStatus status, std::string_view message);

ExitStatus RunList(const BackendRequest& backend, bool asJson, Streams streams);

ExitStatus RunIdentify(const BackendRequest& backend, const std::optional<std::string>& resource,
                       bool asJson, Streams streams);

struct InfoRequest {
  std::string file;
  bool asJson = false;
  // Judge the file against a meter too (--resource or --visa on the command
  // line): the one named, or the one attached.
  bool againstMeter = false;
  std::optional<std::string> resource;
  BackendRequest backend;
};

ExitStatus RunInfo(const InfoRequest& request, Streams streams);

// What an update prints on standard output besides its outcome line.
enum class OutputStyle {
  kOwn,         // the CLI's own words: the meter, progress, the outcome
  kTranscript,  // the window's log lines as they are appended, progress, the outcome
  kQuiet,       // the outcome line only
};

struct UpdateRequest {
  BackendRequest backend;
  std::string file;
  std::vector<std::string> resources;  // --resource, repeatable
  bool all = false;                    // --all: every attached meter in normal mode
  bool verify = false;                 // --verify: check the versions after the restart
  bool asJson = false;
  bool answerYes = false;
  OutputStyle style = OutputStyle::kOwn;
  bool colour = false;  // the outcome's verdict in colour
};

// Updates one meter as a fleet of one, shown in the CLI's own words; several
// meters, --verify and --json show the fleet's table or report instead.
// Installs the Ctrl+C handler for the duration of the program.
ExitStatus RunUpdate(const UpdateRequest& request, Streams streams);

}  // namespace quorvel::cli
