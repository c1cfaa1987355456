#include "cli/commands.h"

#include <filesystem>
#include <functional>
#include <vector>

#include "cli/firmware_info.h"
#include "cli/fleet_command.h"
#include "cli/meter_query.h"
#include "cli/stop_signal.h"
#include "cli/terminal_console.h"
#include "cli/text_output.h"
#include "cli/visa_decorators.h"
#include "common/version.h"
#include "common/message_text.h"
#include "firmware/file_source.h"
#include "history/attempt_witness.h"
#include "update/update_procedures.h"
#include "visa/usbtmc/usbtmc_permission.h"

namespace quorvel::cli {

namespace {

constexpr std::string_view kProgramName = "quorvel-cli: ";

ExitStatus Fail(Streams streams, ExitStatus status, std::string_view message) {
  streams.err << kProgramName << message << '\n' << std::flush;
  return status;
}

// On USB, "nothing found" may mean the meter is there but this user may not
// open it: then the message says how to grant access.
std::string NoMeterMessage(std::string_view message, const BackendRequest& request) {
  std::string text(message);
  if (request.name == "usbtmc") {
    if (const std::string hint = UsbtmcPermissionHint(); !hint.empty()) text += "\n" + hint;
  }
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
  return std::filesystem::is_regular_file(path, error);
}

// A resource manager that is closed, with everything opened from it, when the
// command is done.
class ResourceManager {
 public:
  explicit ResourceManager(VisaLibrary& visa) : visa_(visa) {
    if (!ViSucceeded(visa_.viOpenDefaultRM(&handle_))) handle_ = VI_NULL;
  }
  ~ResourceManager() {
    if (handle_ != VI_NULL) visa_.viClose(handle_);
  }
  ResourceManager(const ResourceManager&) = delete;
  ResourceManager& operator=(const ResourceManager&) = delete;
  ViSession handle() const { return handle_; }
  bool ok() const { return handle_ != VI_NULL; }

 private:
  VisaLibrary& visa_;
  ViSession handle_ = VI_NULL;
};

// Opens the backend and a resource manager for a command that only talks to
// meters (no update), runs `body`, and closes everything again.
ExitStatus WithResourceManager(const BackendRequest& request, Streams streams,
                               const std::function<ExitStatus(Services&, ViSession)>& body) {
  auto backend = OpenOrReport(request, streams);
  if (!backend) return ExitStatus::kBadArguments;
  TerminalConsole console(streams.out, streams.err, *backend->clock, {});
  DiskFileSystem files;
  Services services{*backend->visa, console, *backend->clock, files};
  const ResourceManager manager(services.visa);
  if (!manager.ok()) {
    return Fail(streams, ExitStatus::kFailure, "the VISA resource manager did not open.");
  }
  return body(services, manager.handle());
}

std::string JoinNames(const std::vector<std::string>& names) {
  std::string joined;
  for (const std::string& name : names) joined += "\n  " + PrintableField(name);
  return joined;
}

std::string_view OutcomeMessage(UpdateOutcome outcome, FileKind kind) {
  switch (outcome) {
    case UpdateOutcome::kInstalled:
      return {};
    case UpdateOutcome::kRediscovered:
    case UpdateOutcome::kNoMeter:
      return "the meter was not found.";
    case UpdateOutcome::kWrongMode:
      return "the meter is in update mode; recycle its power and try again.";
    case UpdateOutcome::kChooserCancelled:
      return "stopped before the update began; the meter is unchanged.";
    case UpdateOutcome::kFileNotOpened:
      return "the file could not be opened; no image data was sent.";
    case UpdateOutcome::kFileRefused:
      // A single image's header is judged only after the switch to update mode.
      return kind == FileKind::kImage
                 ? "the file was refused; no image data was sent, but the meter is in update mode: "
                   "recycle its power before the next attempt."
                 : "the file was refused; the meter is unchanged.";
    case UpdateOutcome::kTransferFailed:
      return "the meter did not accept the update; recycle its power and try again.";
    case UpdateOutcome::kStopped:
      return "stopped. The sessions are closed and the meter is left in update mode: recycle its "
             "power before the next attempt.";
  }
  return {};
}

// Without --resource an update must not guess between several meters: the
// discoveries keep the last match, which need not be the one identified first.
ExitStatus RefuseAmbiguousMeter(VisaLibrary& visa, Streams streams) {
  const ResourceManager manager(visa);
  if (!manager.ok()) return ExitStatus::kSuccess;  // discovery reports the problem itself
  const std::vector<std::string> meters = FindMeters(visa, manager.handle());
  if (meters.size() <= 1) return ExitStatus::kSuccess;
  return Fail(streams, ExitStatus::kBadArguments,
              "several meters are attached; choose one with --resource:" + JoinNames(meters));
}

// The file as the window's chooser hands it over: a full path to a file that
// can be opened. A file that cannot be read must not get as far as switching
// the meter to update mode.
ExitStatus ResolveFirmwareFile(const std::string& file, FileSystem& files, Streams streams,
                               std::string& path) {
  std::error_code error;
  path = std::filesystem::absolute(file, error).string();
  if (error) {
    return Fail(streams, ExitStatus::kBadArguments,
                "cannot resolve \"" + PrintableField(ArgumentForMessage(file)) + "\"");
  }
  if (!IsRegularFile(path) || !files.OpenForReading(path)) {
    return Fail(
        streams, ExitStatus::kFileRefused,
        "cannot open \"" + PrintableField(ArgumentForMessage(path)) + "\" for reading; the meter was not touched.");
  }
  return ExitStatus::kSuccess;
}

void RecordAttempt(const AttemptWitness& witness, FileSystem& files, const std::string& path,
                   const BackendRequest& backend, UpdateOutcome outcome, std::string reason,
                   Streams streams) {
  if (!IsRecordedAttempt(outcome)) return;
  std::string problem;
  const std::unique_ptr<UpdateHistory> history = OpenHistory(&problem);
  if (history && RecordSelectAttempt(*history,
                                     {.tool = "quorvel-cli",
                                      .toolVersion = QUORVEL_VERSION,
                                      .backend = backend.name},
                                     witness, files, path, outcome, std::move(reason), &problem)) {
    return;
  }
  streams.err << kProgramName << "the update history was not written: " << problem << '\n';
}

// Discovery as the window does it on opening, then one press of Select.
ExitStatus RunSelectButton(Services& services, const AttemptWitness& witness,
                           const std::string& path, const BackendRequest& backend,
                           Streams streams) {
  DialogState dialog;
  DiscoverInstrument(services, dialog.session, dialog.readyForUpdate);
  if (!dialog.readyForUpdate) {
    return Fail(streams, ExitStatus::kNoMeter,
                NoMeterMessage("the meter was not found.", backend));
  }
  const UpdateOutcome outcome =
      StopWasRequested() ? UpdateOutcome::kChooserCancelled : RunImageUpdate(services, dialog);
  // Whatever the procedure left open (a refusal or a wrong mode leaves the
  // sessions open for another try in the window) is closed as Exit would.
  CloseSessionsForExit(services, dialog);

  const ExitStatus status = ExitStatusFor(outcome);
  const std::string_view message = OutcomeMessage(outcome, KindOfFileName(path));
  if (!message.empty()) Fail(streams, status, message);
  RecordAttempt(witness, services.files, path, backend, outcome, std::string(message), streams);
  return status;
}

}  // namespace

ExitStatus RunList(const BackendRequest& request, Streams streams) {
  return WithResourceManager(request, streams, [&](Services& services, ViSession manager) {
    const std::vector<std::string> meters = FindMeters(services.visa, manager);
    if (meters.empty()) {
      return Fail(streams, ExitStatus::kNoMeter, NoMeterMessage("no meter found.", request));
    }
    for (const std::string& resource : meters) {
      streams.out << RenderMeterText(QueryMeter(services, manager, resource)) << std::flush;
    }
    return ExitStatus::kSuccess;
  });
}

ExitStatus RunIdentify(const BackendRequest& request, const std::optional<std::string>& resource,
                       Streams streams) {
  return WithResourceManager(request, streams, [&](Services& services, ViSession manager) {
    const std::vector<std::string> meters =
        resource ? std::vector<std::string>{*resource} : FindMeters(services.visa, manager);
    if (meters.empty()) {
      return Fail(streams, ExitStatus::kNoMeter, NoMeterMessage("no meter found.", request));
    }
    if (meters.size() > 1) {
      streams.err << kProgramName << meters.size()
                  << " meters found; identifying the first (choose one with --resource)\n";
    }
    const MeterRecord meter = QueryMeter(services, manager, meters.front());
    if (!meter.opened) {
      return Fail(streams, ExitStatus::kNoMeter,
                  "meter \"" + PrintableField(ArgumentForMessage(meter.resource)) + "\" could not be opened.");
    }
    if (!meter.identified) return Fail(streams, ExitStatus::kNoMeter, kNoIdentityText);
    streams.out << RenderMeterText(meter) << std::flush;
    return ExitStatus::kSuccess;
  });
}

ExitStatus RunInfo(const std::string& file, bool asJson, Streams streams) {
  DiskFileSystem files;
  const std::optional<FileReport> report =
      IsRegularFile(file) ? InspectFirmwareFile(files, file) : std::nullopt;
  if (!report) {
    return Fail(streams, ExitStatus::kFileRefused,
                "cannot open \"" + PrintableField(ArgumentForMessage(file)) + "\" for reading.");
  }
  streams.out << (asJson ? RenderReportJson(*report) : RenderReportText(*report)) << std::flush;
  // A report that never arrived (a full disk) must not pass for one that did.
  if (!streams.out) return Fail(streams, ExitStatus::kFailure, "cannot write the output.");
  return report->passed() ? ExitStatus::kSuccess : ExitStatus::kFileRefused;
}

ExitStatus RunUpdate(const UpdateRequest& request, Streams streams) {
  if (request.all || request.resources.size() > 1 || request.verify || request.asJson) {
    return RunFleet(request, streams);
  }
  auto backend = OpenOrReport(request.backend, streams);
  if (!backend) return ExitStatus::kBadArguments;
  DiskFileSystem files;
  std::string path;
  if (const ExitStatus status = ResolveFirmwareFile(request.file, files, streams, path);
      status != ExitStatus::kSuccess) {
    return status;
  }

  VisaLibrary* visaChain = backend->visa.get();
  std::optional<PinnedResourceVisa> pinned;
  if (!request.resources.empty()) {
    visaChain = &pinned.emplace(*visaChain, request.resources.front());
  } else if (const ExitStatus ambiguous = RefuseAmbiguousMeter(*visaChain, streams);
             ambiguous != ExitStatus::kSuccess) {
    return ambiguous;
  }
  AttemptWitness witness(*visaChain);
  InterruptSafeVisa visa(witness);

  InstallStopHandler(ToInt(ExitStatus::kStopped));
  KeepRunningWhenOutputCloses();
  const SteadyClock wallClock;  // the time left shown is the operator's, even when scaled
  TerminalConsole console(
      streams.out, streams.err, wallClock,
      {.outputIsTerminal = streams.outIsTerminal, .answerYes = request.answerYes});
  console.SetChosenFile(path);
  Services services{visa, console, *backend->clock, files};
  return RunSelectButton(services, witness, path, request.backend, streams);
}

}  // namespace quorvel::cli
