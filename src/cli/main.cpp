// quorvel-cli: lists and identifies meters, describes firmware files and
// updates a meter from the command line.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "cli/command_suggestion.h"
#include "cli/commands.h"
#include "cli/doctor_command.h"
#include "cli/fleet_command.h"
#include "cli/outcome_line.h"
#include "common/environment.h"
#include "common/version.h"
#include "visa/tracing_visa.h"
#include "cli/console_io.h"

namespace {

using quorvel::cli::ExitStatus;
using quorvel::cli::ToInt;

std::string HelpFooter() {
  return std::string(
             "Common options, before or after the command: --visa NAME, --time-scale S, --trace FILE.\n"
             "The VISA backend is named with --visa or the ") +
         quorvel::kVisaBackendVariable + " environment variable (default \"" +
         std::string(quorvel::kDefaultVisaBackend) +
         "\"): \"sim\" or \"sim:knob=value,...\" for the simulated meter, \"usbtmc\" for a meter "
         "on this machine's USB (Linux only), \"system\" or \"system:path=FILE\" for an installed VISA library "
         "(FILE, else QUORVEL_VISA_LIBRARY, else the platform's usual names), \"replay:FILE\" to "
         "run a --trace file again as the meter (exit 2 at the first call that differs from it).\n\n" +
         std::string(quorvel::cli::ExitStatusTable());
}

std::vector<std::string> CommandNames(const CLI::App& app) {
  std::vector<std::string> names;
  for (const CLI::App* command : app.get_subcommands([](const CLI::App*) { return true; })) {
    names.push_back(command->get_name());
  }
  return names;
}

const CLI::App* CommandNamed(const CLI::App& app, const std::string& word) {
  const auto named = app.get_subcommands([&](const CLI::App* command) {
    return command->get_name() == word;
  });
  return named.empty() ? nullptr : named.front();
}

// The long options in force where `command` stands: the program's own, which
// may follow the command, and the command's.
std::vector<std::string> LongOptions(const CLI::App& app, const CLI::App* command) {
  std::vector<std::string> names;
  for (const CLI::App* scope : {&app, command}) {
    if (scope == nullptr) continue;
    for (const CLI::Option* option : scope->get_options()) {
      for (const std::string& name : option->get_lnames()) {
        // --help is the program's and the command's: named once, or no slip is near it.
        if (std::find(names.begin(), names.end(), "--" + name) == names.end()) {
          names.push_back("--" + name);
        }
      }
    }
  }
  return names;
}

// What is wrong with a command line the parser refused, in the program's own
// words, when it is one of the slips people make: the first option nothing
// takes, a word where the command should stand, or no command at all.
// Nothing for other faults, which the parser's message describes.
std::optional<std::string> CommandLineSlip(const CLI::App& app,
                                           const std::vector<std::string>& arguments) {
  const std::vector<std::string> commands = CommandNames(app);
  const CLI::App* command = nullptr;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& word = arguments[i];
    if (word == "--") break;
    if (word.size() > 1 && word.starts_with("-")) {
      const std::string name = word.substr(0, word.find('='));
      const CLI::Option* option = command ? command->get_option_no_throw(name) : nullptr;
      if (option == nullptr) option = app.get_option_no_throw(name);
      if (option == nullptr) {
        return quorvel::cli::UnknownOptionMessage(name, LongOptions(app, command));
      }
      const bool valueAttached = word.find('=') != std::string::npos;
      if (option->get_items_expected_min() > 0 && !valueAttached) ++i;
      continue;
    }
    if (command != nullptr) continue;  // the command's own arguments
    command = CommandNamed(app, word);
    if (command == nullptr) return quorvel::cli::UnknownCommandMessage(word, commands);
  }
  if (command != nullptr) return std::nullopt;
  std::string names;
  for (std::size_t i = 0; i < commands.size(); ++i) {
    names += (i == 0 ? "" : i + 1 == commands.size() ? " or " : ", ") + commands[i];
  }
  return "a command is required: " + names + " (see --help)";
}

// The parser's own message, in the program's voice: "the following argument was not expected: x".
std::string ParserMessage(const CLI::ParseError& error) {
  std::string text = error.what();
  if (!text.empty()) text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
  return text;
}

bool NamedOnCommandLine(int argc, char** argv, std::string_view option) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view word = argv[i];
    if (word == "--") return false;
    if (word == option || (word.starts_with(option) && word.substr(option.size()).starts_with("="))) {
      return true;
    }
  }
  return false;
}

// The environment's backend and trace file where the command line names none.
// CLI11 would read them through the narrow getenv, which on Windows mangles a
// path outside the ANSI code page; an empty variable counts as unset.
void UseEnvironmentDefaults(const CLI::Option& visa, const CLI::Option& trace,
                            quorvel::cli::BackendRequest& backend) {
  const auto named = [](const char* variable) {
    std::optional<std::string> value = quorvel::EnvironmentValue(variable);
    return value && !value->empty() ? value : std::nullopt;
  };
  if (visa.count() == 0) {
    if (auto value = named(quorvel::kVisaBackendVariable)) backend.name = std::move(*value);
  }
  if (trace.count() == 0) {
    if (auto value = named(quorvel::kTraceEnvironmentVariable)) backend.traceFile = std::move(*value);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const quorvel::cli::ConsoleOutputSetup consoleOutput;
  CLI::App app{"Quorvel: firmware updates for the meter over USBTMC.", "quorvel-cli"};
  app.footer(HelpFooter());
  app.set_version_flag("--version", "quorvel-cli " + std::string(quorvel::kProgramVersion),
                       "Print the program's name and version, then exit");
  app.require_subcommand(1);
  app.fallthrough();  // the common options may also follow the command
  // Options are spelled --name everywhere. CLI11 would also take "/name" on
  // Windows, and so mistake a path such as "/firmware/new.bin" for an option.
  app.allow_windows_style_options(false);

  quorvel::cli::BackendRequest backend;
  // Both fall back to their environment variables, read after parsing as
  // UTF-8 (see UseEnvironmentDefaults).
  auto* visaOption =
      app.add_option("--visa", backend.name,
                     "VISA backend: sim, sim:knob=value,..., usbtmc (Linux only), system, "
                     "system:path=FILE, replay:FILE (else " +
                         std::string(quorvel::kVisaBackendVariable) + ")")
          ->capture_default_str();
  auto* traceOption = app.add_option("--trace", backend.traceFile,
                                     "Write every VISA call to FILE, with times and bytes, for "
                                     "support (else " +
                                         std::string(quorvel::kTraceEnvironmentVariable) + ")")
                          ->type_name("FILE");
  double timeScale = 1.0;
  auto* timeScaleOption =
      app.add_option("--time-scale", timeScale,
                     "Run every wait this many times as long, e.g. 0.01 (simulated meter only)");

  auto* list = app.add_subcommand("list",
                                  "List the attached meters with identity, serial, "
                                  "versions and mode");
  bool listJson = false;
  list->add_flag("--json", listJson, "Write the list as JSON");

  std::optional<std::string> identifyResource;
  auto* identify = app.add_subcommand("identify", "Identity and serial of one meter");
  identify->add_option("--resource", identifyResource, "VISA resource name of the meter");
  bool identifyJson = false;
  identify->add_flag("--json", identifyJson, "Write the identity as JSON");

  quorvel::cli::InfoRequest infoRequest;
  auto* info = app.add_subcommand(
      "info",
      "Describe a .bin image or .pak package and check its signature, target and layout; "
      "with --resource or --visa also its version against that meter");
  // A missing file is the command's to refuse (exit 3), not the parser's.
  info->add_option("FILE", infoRequest.file, "Firmware file")->required();
  info->add_flag("--json", infoRequest.asJson, "Write the description as JSON");
  info->add_option("--resource", infoRequest.resource,
                   "Judge the file against this meter, its version included");

  quorvel::cli::UpdateRequest update;
  auto* updateCommand = app.add_subcommand(
      "update",
      "Update the meter with FILE, as the window's Select button does, after checking FILE "
      "against the meter; ends with one outcome line");
  updateCommand->add_option("FILE", update.file, "Firmware file (.bin or .pak)")->required();
  auto* resourceOption = updateCommand->add_option(
      "--resource", update.resources,
      "VISA resource name of a meter (required when several are attached); repeat it to update "
      "several meters at once");
  updateCommand
      ->add_flag("--all", update.all,
                 "Update every attached meter in normal mode at once, each on its own")
      ->excludes(resourceOption);
  updateCommand->add_flag("--verify", update.verify,
                          "After the update, wait for each meter to come back after its power "
                          "cycle and check that it runs the file's versions");
  auto* updateJson =
      updateCommand->add_flag("--json", update.asJson, "Write the report of every meter as JSON");
  updateCommand->add_flag("--yes", update.answerYes, "Answer OK to every question");
  bool transcript = false;
  bool quiet = false;
  auto* transcriptFlag = updateCommand->add_flag(
      "--transcript", transcript,
      "Print the window's log lines, exactly as its log pane shows them, before the outcome");
  updateCommand->add_flag("-q,--quiet", quiet, "Print only the outcome line")
      ->excludes(transcriptFlag)
      ->excludes(updateJson);
  transcriptFlag->excludes(updateJson);

  quorvel::cli::HistoryRequest historyRequest;
  auto* history = app.add_subcommand("history", "Show the record of every update attempt");
  history->add_flag("--json", historyRequest.asJson, "Write the records as JSON");
  history->add_option("--serial", historyRequest.serial, "Only the meter with this serial number");

  auto* doctor = app.add_subcommand(
      "doctor",
      "Say why the meter cannot be reached: the VISA libraries, USB, the meters each backend "
      "finds and the history file, each with a verdict and what to do");
  bool doctorJson = false;
  doctor->add_flag("--json", doctorJson, "Write the checks as JSON");

  // The arguments as UTF-8 on every platform, without the program's name.
  std::vector<std::string> arguments = quorvel::cli::Utf8Arguments(argc, argv);
  if (!arguments.empty()) arguments.erase(arguments.begin());
  try {
    // CLI11 takes them last one first.
    app.parse(std::vector<std::string>(arguments.rbegin(), arguments.rend()));
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);  // --help, --version
    const std::string message =
        CommandLineSlip(app, arguments).value_or(ParserMessage(e) + " (see --help)");
    return ToInt(quorvel::cli::Fail(
        {std::cout, std::cerr, false, NamedOnCommandLine(argc, argv, "--json")},
        ExitStatus::kBadArguments, message));
  }

  if (*timeScaleOption) backend.timeScale = timeScale;
  UseEnvironmentDefaults(*visaOption, *traceOption, backend);
  const bool asJson = (*list && listJson) || (*identify && identifyJson) ||
                      (*info && infoRequest.asJson) || (*history && historyRequest.asJson) ||
                      (*updateCommand && update.asJson) || (*doctor && doctorJson);
  const quorvel::cli::Streams streams{std::cout, std::cerr,
                                      quorvel::cli::StandardOutputIsTerminal(), asJson};
  ExitStatus status = ExitStatus::kFailure;
  if (*list) {
    status = quorvel::cli::RunList(backend, listJson, streams);
  } else if (*identify) {
    status = quorvel::cli::RunIdentify(backend, identifyResource, identifyJson, streams);
  } else if (*info) {
    infoRequest.backend = backend;
    // A backend named only in the environment never makes info touch a meter.
    infoRequest.againstMeter = infoRequest.resource || NamedOnCommandLine(argc, argv, "--visa");
    status = quorvel::cli::RunInfo(infoRequest, streams);
  } else if (*doctor) {
    status = quorvel::cli::RunDoctorCommand(backend, doctorJson, streams);
  } else if (*history) {
    status = quorvel::cli::RunHistory(historyRequest, streams);
  } else if (*updateCommand) {
    update.backend = backend;
    update.style = transcript ? quorvel::cli::OutputStyle::kTranscript
                   : quiet    ? quorvel::cli::OutputStyle::kQuiet
                              : quorvel::cli::OutputStyle::kOwn;
    update.colour = quorvel::cli::UseColour(streams.outIsTerminal, std::getenv("NO_COLOR"));
    status = quorvel::cli::RunUpdate(update, streams);
  }
  return ToInt(status);
}
