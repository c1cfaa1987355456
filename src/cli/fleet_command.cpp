#include "cli/fleet_command.h"

#include <nlohmann/json.hpp>

#include "cli/fleet_output.h"
#include "cli/stop_signal.h"
#include "cli/visa_decorators.h"
#include "common/printable_text.h"
#include "common/version.h"
#include "firmware/file_source.h"
#include "history/history_file.h"
#include "visa/resource_filter_visa.h"
#include "visa/text_case.h"

namespace quorvel::cli {

namespace {

// The meters of the run, or the status of the message that says why there are none.
std::optional<std::vector<std::string>> ChooseMeters(const UpdateRequest& request,
                                                     VisaLibrary& visa, Streams streams,
                                                     ExitStatus& status) {
  FleetMeters meters = ChooseFleetMeters(visa, request.resources, request.all);
  switch (meters.problem) {
    case FleetChoiceProblem::kNone:
      return std::move(meters.resources);
    case FleetChoiceProblem::kNoResourceManager:
      status = Fail(streams, ExitStatus::kFailure, "the VISA resource manager did not open.");
      break;
    case FleetChoiceProblem::kNoMeter:
      status = Fail(streams, ExitStatus::kNoMeter, "no meter found.");
      break;
    case FleetChoiceProblem::kSeveralMeters:
      status = Fail(streams, ExitStatus::kBadArguments,
                    "several meters are attached: name one with --resource, or use --all.");
      break;
    case FleetChoiceProblem::kNamedTwice:
      status = Fail(streams, ExitStatus::kBadArguments, "a meter is named twice.");
      break;
  }
  return std::nullopt;
}

std::string HistoryText(const HistoryRecord& record) {
  std::string line = PrintableField(record.time) + "  " + PrintableField(record.serial) + "  " +
                     PrintableField(record.fileName) + "  " + PrintableField(record.outcome);
  if (!record.verification.empty()) line += ", " + PrintableField(record.verification);
  if (!record.reason.empty() && record.reason != record.verification) {
    line += ": " + OneLineText(record.reason);
  }
  line += "\n    before: " + PrintableField(record.identityBefore);
  if (record.identityAfter) line += "\n    after:  " + PrintableField(*record.identityAfter);
  line += "\n    file:   " + std::to_string(record.fileSize) + " bytes, sha256 " +
          PrintableField(record.fileSha256) + "\n    by:     " + PrintableField(record.tool) +
          " " + PrintableField(record.toolVersion) + " (" + PrintableField(record.backend) + ", " +
          PrintableField(record.resource) + ")\n";
  return line;
}

nlohmann::json HistoryJson(const HistoryRecord& record) {
  // The stored line is the record's JSON; decoding it again keeps one encoding.
  return nlohmann::json::parse(EncodeHistoryLine(record), nullptr, false);
}

}  // namespace

std::unique_ptr<UpdateHistory> OpenHistory(std::string* problem) {
  const auto path = DefaultHistoryPath();
  if (!path) {
    *problem = "no state folder is known (set XDG_STATE_HOME or HOME); the update history is off.";
    return nullptr;
  }
  return std::make_unique<HistoryFile>(*path);
}

ExitStatus RunFleet(const UpdateRequest& request, Streams streams) {
  std::string error;
  auto backend = OpenBackend(request.backend, &error);
  if (!backend) return Fail(streams, ExitStatus::kBadArguments, error);
  DiskFileSystem files;
  ExitStatus status = ExitStatus::kSuccess;
  const auto path = ResolveFirmwareFile(request.file, files, streams, "no meter was touched", status);
  if (!path) return status;
  const auto meters = ChooseMeters(request, *backend->visa, streams, status);
  if (!meters) return status;

  std::string historyProblem;
  const std::unique_ptr<UpdateHistory> history = OpenHistory(&historyProblem);
  if (!history) streams.err << kProgramName << historyProblem << '\n';

  InterruptSafeVisa visa(*backend->visa);
  InstallStopHandler(ToInt(ExitStatus::kStopped));
  KeepRunningWhenOutputCloses();
  const SteadyClock wallClock;
  std::vector<std::string> labels;
  for (const std::string& meter : *meters) {
    const std::string serial = SerialOfResource(meter);
    labels.push_back(serial.empty() ? meter : serial);
  }
  // With --json the report alone goes to standard output; the running
  // account goes to standard error.
  std::ostream& running = request.asJson ? streams.err : streams.out;
  FleetDisplay display(running, streams.outIsTerminal && !request.asJson, wallClock, labels);

  FleetRequest fleet{
      .path = *path,
      .resources = *meters,
      .leaveUpdateModeMeters = request.all,
      .verify = request.verify,
      .answerYes = request.answerYes,
      .stopRequested = [] { return StopWasRequested(); },
      .history = history.get(),
      .origin = {.tool = "quorvel-cli", .toolVersion = QUORVEL_VERSION,
                 .backend = request.backend.name},
  };
  const std::vector<UpdateReport> reports =
      RunFleetUpdate(visa, *backend->clock, files, fleet, display);
  status = WorstExitStatus(reports);
  if (request.asJson) {
    streams.out << RenderFleetJson(reports, ToInt(status)) << std::flush;
  } else {
    streams.out << '\n' << RenderFleetTable(reports) << std::flush;
  }
  return OutputWritten(streams, status);
}

ExitStatus RunHistory(const HistoryRequest& request, Streams streams) {
  std::string problem;
  const std::unique_ptr<UpdateHistory> history = OpenHistory(&problem);
  if (!history) return Fail(streams, ExitStatus::kFailure, problem);
  const HistoryListing listing = history->Read();
  for (const std::string& warning : listing.warnings) {
    streams.err << kProgramName << "warning: " << PrintableField(warning) << '\n';
  }
  nlohmann::json records = nlohmann::json::array();
  bool any = false;
  for (const HistoryRecord& record : listing.records) {
    if (request.serial && !EqualsIgnoringCase(record.serial, *request.serial)) continue;
    any = true;
    if (request.asJson) {
      records.push_back(HistoryJson(record));
    } else {
      streams.out << HistoryText(record);
    }
  }
  if (request.asJson) {
    streams.out << records.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
  } else if (!any) {
    streams.out << "no records\n";
  }
  streams.out << std::flush;
  return OutputWritten(streams, ExitStatus::kSuccess);
}

}  // namespace quorvel::cli
