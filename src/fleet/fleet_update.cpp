#include "fleet/fleet_update.h"

#include <memory>
#include <thread>

#include "firmware/file_source.h"
#include "fleet/verify_update.h"
#include "history/update_history.h"
#include "instrument/identity.h"
#include "update/file_check.h"
#include "visa/resource_filter_visa.h"

namespace quorvel {

namespace {

// One worker's operator console: lines and progress go to the observer with
// the worker's number, and the chooser answers with the file.
class WorkerConsole final : public OperatorConsole {
 public:
  WorkerConsole(const FleetRequest& request, std::size_t meter, FleetObserver& observer)
      : request_(request), meter_(meter), observer_(observer) {}

  void AppendLog(std::string_view text) override { observer_.Line(meter_, text); }
  void ClearLog() override {}
  bool PumpMessages() override { return true; }
  void SetButtonCaption(ConsoleButton, std::string_view) override {}
  void EnableButton(ConsoleButton, bool) override {}
  void ShowButton(ConsoleButton, bool) override {}
  MessageResult ShowMessageBox(const MessageBoxRequest& box) override {
    observer_.Line(meter_, box.caption + ": " + box.text);
    if (box.buttons != MessageButtons::kOkCancel) return MessageResult::kOk;
    return request_.answerYes && !StopRequested() ? MessageResult::kOk : MessageResult::kCancel;
  }
  std::optional<std::string> ChooseFile(std::string_view) override {
    if (StopRequested()) return std::nullopt;
    return request_.path;
  }
  void Repaint() override {}
  void ReportProgress(const ProgressReport& report) override { observer_.Progress(meter_, report); }
  bool StopRequested() override { return request_.stopRequested && request_.stopRequested(); }


 private:
  const FleetRequest& request_;
  std::size_t meter_;
  FleetObserver& observer_;
};

std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

std::string GenericReason(UpdateOutcome outcome) {
  switch (outcome) {
    case UpdateOutcome::kInstalled: return {};
    case UpdateOutcome::kUnconfirmed: return "the meter gave no final verdict";
    case UpdateOutcome::kRediscovered:
    case UpdateOutcome::kNoMeter: return "the meter was not found";
    case UpdateOutcome::kWrongMode: return "the meter is in update mode; recycle its power";
    case UpdateOutcome::kChooserCancelled:
    case UpdateOutcome::kStopped: return "stopped by the operator";
    case UpdateOutcome::kFileNotOpened: return "the file could not be opened";
    case UpdateOutcome::kFileRefused: return "the file was refused";
    case UpdateOutcome::kTransferFailed: return "the meter did not accept the update";
  }
  return {};
}

// A message box's text on one line: its line breaks become blanks.
std::string OneLine(std::string text) {
  for (char& c : text) {
    if (c == '\n') c = ' ';
  }
  return text;
}

class FleetWorker {
 public:
  FleetWorker(VisaLibrary& visa, Clock& clock, FileSystem& files, const FleetRequest& request,
              std::size_t meter, FleetObserver& observer)
      : request_(request),
        console_(request, meter, observer),
        ownView_(visa, SameSerial(SerialOfResource(request.resources.at(meter)))),
        services_{ownView_, console_, clock, files} {
    report_.resource = request.resources.at(meter);
    report_.file = SplitPath(request.path).second;
  }

  UpdateReport Run() {
    if (Find() && Identify() && Judge() && Update()) Verify();
    Record();
    return report_;
  }

 private:
  // The meter is known by the serial in its resource name from here on.
  bool Find() {
    report_.serial = SerialOfResource(report_.resource);
    if (!report_.serial.empty()) return true;
    return Fail(UpdateOutcome::kNoMeter, "the resource name carries no serial number");
  }

  // Who the meter is before anything changes, on a session of its own.
  bool Identify() {
    InstrumentSession session;
    session.resourceManager = OpenResourceManager(services_.visa);
    session.instrument =
        OpenSession(services_.visa, session.resourceManager, report_.resource.c_str()).session;
    if (session.instrument.empty()) {
      return Fail(UpdateOutcome::kNoMeter, "the meter could not be opened");
    }
    services_.visa.viSetAttribute(session.instrument.get(), VI_ATTR_TMO_VALUE, kSessionTimeoutMs);
    // As the package path asks: "L0" and the identity query one after the other.
    const MeterIdentity identity = ReadIdentity(services_, session, /*waitAfterL0=*/false);
    CloseSessions(session);
    report_.identityBefore = WithoutLineEnd(identity.reply);
    if (!IsUsableIdentity(identity)) {
      return Fail(UpdateOutcome::kNoMeter, std::string(kNoIdentityText));
    }
    const MeterVersions& before = identity.versions;
    versionsBefore_ = before;
    report_.versionsBefore = before.tail;
    if (IsWrongMode(before)) {
      if (request_.leaveUpdateModeMeters) {
        report_.skipped = true;
        report_.outcome = UpdateOutcome::kWrongMode;
        report_.reason = "in update mode; left alone";
        return false;
      }
      return Fail(UpdateOutcome::kWrongMode, GenericReason(UpdateOutcome::kWrongMode));
    }
    return true;
  }

  // The file against this meter, before it is switched: a file it would
  // refuse costs no power cycle. The refusal reads as the update's own.
  bool Judge() {
    auto refusal = CheckFileAgainstMeter(services_.files, request_.path, versionsBefore_);
    if (!refusal) return true;
    for (const std::string& line : refusal->logLines) console_.AppendLog(line);
    if (refusal->logLines.empty()) {
      console_.ShowMessageBox({.text = refusal->text,
                               .caption = "Quorvel",
                               .icon = MessageIcon::kWarning,
                               .buttons = MessageButtons::kOk,
                               .owner = MessageOwner::kNone});
    }
    return Fail(refusal->outcome, OneLine(refusal->text));
  }

  // The Select button's procedure, exactly as a single update runs it.
  bool Update() {
    DialogState dialog;
    DiscoverInstrument(services_, dialog.session, dialog.readyForUpdate);
    if (!dialog.readyForUpdate) {
      return Fail(UpdateOutcome::kNoMeter, GenericReason(UpdateOutcome::kNoMeter));
    }
    if (console_.StopRequested()) {
      dialog.report.outcome = UpdateOutcome::kChooserCancelled;
    } else {
      RunImageUpdate(services_, dialog);
    }
    // Whatever the procedure left open is closed once, here or already by it.
    CloseSessionsForExit(dialog);
    report_.TakeProcedureFacts(dialog.report);
    const UpdateOutcome outcome = report_.outcome;
    if (outcome == UpdateOutcome::kInstalled) return true;
    // Only the versions after the restart can settle an update without a final verdict.
    if (outcome == UpdateOutcome::kUnconfirmed) {
      report_.reason = TransferFailureText(report_);
      return true;
    }
    if (outcome == UpdateOutcome::kStopped && report_.imagesAccepted > 0) {
      return Fail(outcome, "stopped by the operator after " + AcceptedImagesText(report_));
    }
    // A transfer's failure, else the warning the procedure ended with.
    std::string reason = TransferFailureText(report_);
    if (reason.empty()) reason = FirstLine(report_.notice);
    return Fail(outcome, reason.empty() ? GenericReason(outcome) : std::move(reason));
  }

  void Verify() {
    if (!request_.verify) return;
    const auto expected = ExpectedVersionsOf(services_.files, request_.path);
    if (!expected) {
      report_.verification = Verification::kNotVerified;
      report_.verificationText = "not verified: the file names no version";
      return;
    }
    const VerifyResult result = VerifyAfterRestart(services_, *expected);
    report_.verification = result.verification;
    report_.verificationText = result.text;
    report_.identityAfter = WithoutLineEnd(result.identityAfter);
    report_.reason = result.verification == Verification::kVerified ? "" : result.text;
  }

  void Record() {
    if (request_.history == nullptr || report_.skipped) return;
    HistoryRecord record = MakeAttemptRecord(request_.origin, services_.files, request_.path,
                                             report_.resource, report_.identityBefore, report_);
    record.outcome = std::string(OutcomeName(report_));
    record.reason = report_.reason;
    record.verification = report_.verificationText;
    if (report_.verification != Verification::kNotAsked && !report_.identityAfter.empty()) {
      record.identityAfter = report_.identityAfter;
    }
    std::string error;
    if (!request_.history->Append(record, &error)) {
      console_.AppendLog("The update history was not written: " + error);
    }
  }

  bool Fail(UpdateOutcome outcome, std::string reason) {
    report_.outcome = outcome;
    report_.reason = std::move(reason);
    return false;
  }

  const FleetRequest& request_;
  WorkerConsole console_;
  ResourceFilterVisa ownView_;
  Services services_;
  UpdateReport report_;
  MeterVersions versionsBefore_;
};

}  // namespace

std::string_view OutcomeName(const UpdateReport& report) {
  return report.skipped ? "skipped" : UpdateOutcomeName(report.outcome);
}

UpdateReport RunFleetWorker(VisaLibrary& visa, Clock& clock, FileSystem& files,
                           const FleetRequest& request, std::size_t meter,
                           FleetObserver& observer) {
  UpdateReport report = FleetWorker(visa, clock, files, request, meter, observer).Run();
  observer.Finished(meter, report);
  return report;
}

std::vector<UpdateReport> RunFleetUpdate(VisaLibrary& visa, Clock& clock, FileSystem& files,
                                        const FleetRequest& request, FleetObserver& observer) {
  std::vector<UpdateReport> reports(request.resources.size());
  {
    std::vector<std::jthread> workers;
    workers.reserve(request.resources.size());
    for (std::size_t meter = 0; meter < request.resources.size(); ++meter) {
      workers.emplace_back([&, meter] {
        reports[meter] = RunFleetWorker(visa, clock, files, request, meter, observer);
      });
    }
  }  // every worker has finished here
  return reports;
}

}  // namespace quorvel
