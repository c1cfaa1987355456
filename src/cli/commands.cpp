#include "cli/commands.h"

#include <filesystem>
#include <functional>
#include <vector>

#include "cli/firmware_info.h"
#include "cli/fleet_command.h"
#include "cli/meter_display.h"
#include "cli/meter_text.h"
#include "cli/outcome_line.h"
#include "cli/stop_signal.h"
#include "common/printable_text.h"
#include "cli/visa_decorators.h"
#include "common/message_text.h"
#include "common/silent_console.h"
#include "common/utf8_path.h"
#include "common/version.h"
#include "firmware/file_source.h"
#include "firmware/firmware_path.h"
#include "fleet/meter_pipeline.h"
#include "instrument/identity.h"

namespace quorvel::cli {

ExitStatus Fail(Streams streams, ExitStatus status, std::string_view message) {
  streams.err << kProgramName << message << '\n' << std::flush;
  if (streams.json) {
    streams.out << JsonDocument(Json{{"error", ErrorJson(status, message)}}) << std::flush;
  }
  return status;
}

std::string UnreadableFileText(const std::string& path) {
  const std::string quoted = "\"" + PrintableField(ArgumentForMessage(path)) + "\"";
  std::error_code error;
  if (std::filesystem::is_directory(PathFromUtf8(path), error)) {
    return quoted + " is a directory, not a firmware file";
  }
  return "cannot open " + quoted + " for reading";
}

ExitStatus OutputWritten(Streams streams, ExitStatus status) {
  if (streams.out) return status;
  streams.json = false;  // there is no writing a document where the first one failed
  return Fail(streams, WorseExitStatus(status, ExitStatus::kFailure), "cannot write the output.");
}

Json ErrorJson(ExitStatus status, std::string_view message) {
  return {{"code", ToInt(status)}, {"message", JsonString(message)}};
}

namespace {

// For a message whose JSON document is already written.
Streams WithoutJson(Streams streams) {
  streams.json = false;
  return streams;
}

// On USB, "nothing found" may mean the meter is there but this user may not
// open it: then the message says how to grant access.
std::string NoMeterMessage(std::string_view message, const BackendRequest& request) {
  std::string text(message);
  if (const std::string hint = MeterAccessHint(request.name); !hint.empty()) text += "\n" + hint;
  return text;
}

std::optional<Backend> OpenOrReport(const BackendRequest& request, Streams streams) {
  std::string error;
  auto backend = OpenBackend(request, &error);
  if (!backend) Fail(streams, ExitStatus::kBadArguments, error);
  return backend;
}

// Firmware comes from regular files only. Checked before opening, because
// opening a FIFO for reading would wait for a writer forever.
bool IsRegularFile(const std::string& path) {
  std::error_code error;
  return std::filesystem::is_regular_file(PathFromUtf8(path), error);
}

// Opens the backend and a resource manager for a command that only talks to
// meters (no update), runs `body`, and closes everything again.
ExitStatus WithResourceManager(const BackendRequest& request, Streams streams,
                               const std::function<ExitStatus(Services&, const VisaHandle&)>& body) {
  auto backend = OpenOrReport(request, streams);
  if (!backend) return ExitStatus::kBadArguments;
  SilentConsole console;
  DiskFileSystem files;
  Services services{*backend->visa, console, *backend->clock, files};
  const VisaHandle manager = OpenResourceManager(services.visa);
  if (manager.empty()) {
    return Fail(streams, ExitStatus::kFailure, "the VISA resource manager did not open.");
  }
  return body(services, manager);
}

std::string JoinNames(const std::vector<std::string>& names) {
  std::string joined;
  for (const std::string& name : names) joined += "\n  " + PrintableField(name);
  return joined;
}

ExitStatus RefuseSeveralMeters(const std::vector<std::string>& meters, Streams streams) {
  return Fail(streams, ExitStatus::kBadArguments,
              "several meters are attached; choose one with --resource:" + JoinNames(meters));
}

// Without --resource an update must not guess between several meters: the
// discoveries keep the last match, which need not be the one identified first.
ExitStatus RefuseAmbiguousMeter(VisaLibrary& visa, Streams streams) {
  const VisaHandle manager = OpenResourceManager(visa);
  if (manager.empty()) return ExitStatus::kSuccess;  // discovery reports the problem itself
  const MeterChoice choice = ChooseOneMeter(visa, manager, std::nullopt);
  if (choice.attached.size() <= 1) return ExitStatus::kSuccess;  // none: the update says so
  return RefuseSeveralMeters(choice.attached, streams);
}

}  // namespace

std::optional<std::string> ResolveFirmwareFile(const std::string& file, FileSystem& files,
                                               Streams streams, std::string_view untouched,
                                               ExitStatus& status) {
  const FirmwarePath resolved = ResolveFirmwarePath(file, files);
  switch (resolved.problem) {
    case FirmwarePathProblem::kNone:
      return resolved.path;
    case FirmwarePathProblem::kUnresolvable:
      status = Fail(streams, ExitStatus::kBadArguments,
                    "cannot resolve \"" + PrintableField(ArgumentForMessage(file)) + "\"");
      return std::nullopt;
    case FirmwarePathProblem::kUnreadable:
      break;
  }
  status = Fail(streams, ExitStatus::kFileRefused,
                UnreadableFileText(resolved.path) + "; " + std::string(untouched) + ".");
  return std::nullopt;
}

namespace {

// The meter a one-meter command works with: the one named, else the one
// attached (never a guess among several), opened and identified.
ExitStatus QueryOneMeter(Services& services, const VisaHandle& manager, const BackendRequest& request,
                         const std::optional<std::string>& resource, Streams streams,
                         MeterRecord& meter) {
  const MeterChoice choice = ChooseOneMeter(services.visa, manager, resource);
  if (!choice.chosen) {
    if (choice.attached.empty()) {
      return Fail(streams, ExitStatus::kNoMeter, NoMeterMessage("no meter found.", request));
    }
    return RefuseSeveralMeters(choice.attached, streams);
  }
  meter = QueryMeter(services, manager, *choice.chosen);
  if (!meter.opened) {
    return Fail(streams, ExitStatus::kNoMeter,
                "meter \"" + PrintableField(ArgumentForMessage(meter.resource)) +
                    "\" could not be opened.");
  }
  if (!meter.identified) return Fail(streams, ExitStatus::kNoMeter, kNoIdentityText);
  return ExitStatus::kSuccess;
}

}  // namespace

ExitStatus RunList(const BackendRequest& request, bool asJson, Streams streams) {
  return WithResourceManager(request, streams, [&](Services& services, const VisaHandle& manager) {
    const MeterSearch search = SearchMeters(services.visa, manager);
    const std::vector<std::string>& meters = search.resources;
    if (meters.empty()) {
      // Scripts get an empty list to read; the status and the error say none was found.
      const std::string message = NoMeterMessage("no meter found.", request);
      if (asJson) {
        streams.out << JsonDocument(Json{{"meters", Json::array()},
                                         {"error", ErrorJson(ExitStatus::kNoMeter, message)}})
                    << std::flush;
      }
      return Fail(WithoutJson(streams), ExitStatus::kNoMeter, message);
    }
    Json list = Json::array();
    for (const std::string& resource : meters) {
      const MeterRecord meter = QueryMeter(services, manager, resource);
      if (asJson) {
        list.push_back(MeterJson(meter));
      } else {
        streams.out << RenderMeterText(meter) << std::flush;
      }
    }
    if (asJson) {
      Json document{{"meters", std::move(list)}};
      if (search.notListed > 0) document["notListed"] = search.notListed;
      streams.out << JsonDocument(document) << std::flush;
    }
    if (search.notListed > 0) {
      streams.err << kProgramName << search.notListed << " more meters were found but not listed; "
                  << meters.size() << " are listed at most.\n";
    }
    return OutputWritten(streams, ExitStatus::kSuccess);
  });
}

ExitStatus RunIdentify(const BackendRequest& request, const std::optional<std::string>& resource,
                       bool asJson, Streams streams) {
  return WithResourceManager(request, streams, [&](Services& services, const VisaHandle& manager) {
    MeterRecord meter;
    if (const ExitStatus status =
            QueryOneMeter(services, manager, request, resource, streams, meter);
        status != ExitStatus::kSuccess) {
      return status;
    }
    streams.out << (asJson ? JsonDocument(MeterJson(meter)) : RenderMeterText(meter)) << std::flush;
    return OutputWritten(streams, ExitStatus::kSuccess);
  });
}

ExitStatus RunInfo(const InfoRequest& request, Streams streams) {
  DiskFileSystem files;
  std::optional<FileReport> report =
      IsRegularFile(request.file) ? InspectFirmwareFile(files, request.file) : std::nullopt;
  if (!report) {
    return Fail(streams, ExitStatus::kFileRefused, UnreadableFileText(request.file) + ".");
  }
  if (request.againstMeter) {
    const ExitStatus judged = WithResourceManager(
        request.backend, streams, [&](Services& services, const VisaHandle& manager) {
          MeterRecord meter;
          if (const ExitStatus status = QueryOneMeter(services, manager, request.backend,
                                                      request.resource, streams, meter);
              status != ExitStatus::kSuccess) {
            return status;
          }
          if (meter.updateMode) {
            return Fail(streams, ExitStatus::kWrongMode,
                        "the meter is in update mode and reports no versions; recycle its power "
                        "and try again.");
          }
          AddMeterCheck(*report, files, meter.resource, meter.versions);
          return ExitStatus::kSuccess;
        });
    if (judged != ExitStatus::kSuccess) return judged;
  }
  streams.out << (request.asJson ? RenderReportJson(*report) : RenderReportText(*report))
              << std::flush;
  return OutputWritten(streams,
                       report->passed() ? ExitStatus::kSuccess : ExitStatus::kFileRefused);
}

ExitStatus RunUpdate(const UpdateRequest& request, Streams streams) {
  if (request.all || request.resources.size() > 1 || request.verify || request.asJson) {
    return RunFleet(request, streams);
  }
  auto backend = OpenOrReport(request.backend, streams);
  if (!backend) return ExitStatus::kBadArguments;
  DiskFileSystem files;
  ExitStatus status = ExitStatus::kSuccess;
  const auto path =
      ResolveFirmwareFile(request.file, files, streams, "the meter was not touched", status);
  if (!path) return status;
  // Without --resource the one meter attached is found by the update itself.
  if (request.resources.empty()) {
    if (const ExitStatus ambiguous = RefuseAmbiguousMeter(*backend->visa, streams);
        ambiguous != ExitStatus::kSuccess) {
      return ambiguous;
    }
  }
  std::string historyProblem;
  const std::unique_ptr<UpdateHistory> history = OpenHistory(&historyProblem);

  InterruptSafeVisa visa(*backend->visa);
  InstallStopHandler(ToInt(ExitStatus::kStopped));
  KeepRunningWhenOutputCloses();
  const SteadyClock wallClock;  // the time left shown is the operator's, even when scaled
  MeterDisplay display(streams.out, streams.err, wallClock, SplitPath(*path).second,
                       {.outputIsTerminal = streams.outIsTerminal,
                        .announce = request.style == OutputStyle::kOwn,
                        .showLog = request.style == OutputStyle::kTranscript,
                        .showProgress = request.style != OutputStyle::kQuiet});
  const FleetRequest one{
      .path = *path,
      .resources = {request.resources.empty() ? std::string() : request.resources.front()},
      .procedureSpeaksForMeter = true,
      .answerYes = request.answerYes,
      .stopRequested = [] { return StopWasRequested(); },
      .history = history.get(),
      .origin = {.tool = "quorvel-cli", .toolVersion = QUORVEL_VERSION,
                 .backend = request.backend.name},
  };
  UpdateReport report = RunMeterPipeline(visa, *backend->clock, files, one, 0, display);
  if (report.outcome == UpdateOutcome::kNoMeter && report.resource.empty()) {
    if (const std::string hint = NoMeterMessage({}, request.backend); !hint.empty()) {
      streams.err << kProgramName << hint.substr(1) << '\n';
    }
  }
  streams.out << RenderOutcomeLine(DescribeOutcome(report), request.colour) << '\n' << std::flush;
  if (!history && IsRecordedAttempt(report.outcome)) {
    streams.err << kProgramName << "the update history was not written: " << historyProblem
                << '\n';
  }
  return OutputWritten(streams, ExitStatusOf(report));
}

}  // namespace quorvel::cli
