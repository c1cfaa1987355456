#include "fleet/meter_pipeline.h"

#include <optional>

#include "firmware/file_source.h"
#include "firmware/package.h"
#include "fleet/verify_update.h"
#include "history/update_history.h"
#include "instrument/identity.h"
#include "update/file_check.h"
#include "update/firmware_report.h"
#include "visa/resource_filter_visa.h"

namespace quorvel {

namespace {

// The procedures' operator console for one meter: what they show goes to the
// observer and questions are answered as the request says.
class PipelineConsole final : public OperatorConsole {
 public:
  PipelineConsole(const FleetRequest& request, std::size_t meter, FleetObserver& observer)
      : request_(request), meter_(meter), observer_(observer) {}

  void AppendLog(std::string_view text) override { observer_.Line(meter_, text); }
  void ClearLog() override {}
  bool PumpMessages() override { return true; }
  void SetButtonCaption(ConsoleButton, std::string_view) override {}
  void EnableButton(ConsoleButton, bool) override {}
  void ShowButton(ConsoleButton, bool) override {}
  MessageResult ShowMessageBox(const MessageBoxRequest& box) override {
    const bool asks = box.buttons == MessageButtons::kOkCancel;
    const MessageResult answer = !asks || (request_.answerYes && !StopRequested())
                                     ? MessageResult::kOk
                                     : MessageResult::kCancel;
    observer_.Message(meter_, box, answer);
    return answer;
  }
  // The file comes with the request (see Update), never from a chooser.
  std::optional<std::string> ChooseFile(std::string_view) override { return std::nullopt; }
  void Repaint() override {}
  void ReportProgress(const ProgressReport& report) override { observer_.Progress(meter_, report); }
  void ShowWaiting(const WaitingReport& report) override { observer_.Waiting(meter_, report); }
  bool StopRequested() override { return request_.stopRequested && request_.stopRequested(); }

 private:
  const FleetRequest& request_;
  std::size_t meter_;
  FleetObserver& observer_;
};

std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

// A message box's text on one line: its line breaks become blanks.
std::string OneLine(std::string text) {
  for (char& c : text) {
    if (c == '\n') c = ' ';
  }
  return text;
}

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

// A meter named by the search is known by its serial from here on, on
// whatever board it comes back; a name without one is kept to itself.
ResourceFilterVisa::Wanted OwnMeter(const std::string& resource) {
  const std::string serial = SerialOfResource(resource);
  return serial.empty() ? SameResource(resource) : SameSerial(serial);
}

class MeterPipeline {
 public:
  MeterPipeline(VisaLibrary& visa, Clock& clock, FileSystem& files, const FleetRequest& request,
                std::size_t meter, FleetObserver& observer)
      : request_(request),
        meter_(meter),
        observer_(observer),
        console_(request, meter, observer),
        view_(OwnView(visa, request.resources.at(meter))),
        services_{view_, console_, clock, files} {
    report_.resource = request.resources.at(meter);
    report_.file = SplitPath(request.path).second;
    report_.package = NamesPackage(request.path);
  }

  UpdateReport Run() {
    if (Find() && Identify() && Check() && Update()) Verify();
    Record();
    observer_.Finished(meter_, report_);
    return report_;
  }

 private:
  VisaLibrary& OwnView(VisaLibrary& visa, const std::string& resource) {
    if (resource.empty()) return visa;  // the one meter attached
    return ownView_.emplace(visa, OwnMeter(resource));
  }

  // The meter the file goes to: the one named, or the one the search finds.
  bool Find() {
    if (report_.resource.empty()) {
      manager_ = OpenResourceManager(services_.visa);
      const std::vector<std::string> meters = FindMeters(services_.visa, manager_);
      if (meters.empty()) return LeaveToProcedure(UpdateOutcome::kNoMeter, {});
      report_.resource = meters.front();
    }
    report_.serial = SerialOfResource(report_.resource);
    if (!report_.serial.empty() || request_.procedureSpeaksForMeter) return true;
    return Fail(UpdateOutcome::kNoMeter, "the resource name carries no serial number");
  }

  // Who the meter is before anything changes, on a session of its own.
  bool Identify() {
    if (report_.resource.empty()) return true;
    if (manager_.empty()) manager_ = OpenResourceManager(services_.visa);
    const MeterRecord meter = QueryMeter(services_, manager_, report_.resource);
    manager_.Close();
    if (!meter.opened) {
      return LeaveToProcedure(UpdateOutcome::kNoMeter, "the meter could not be opened");
    }
    report_.identityBefore = WithoutLineEnd(meter.identity);
    // A silent meter has already cost a time-out; the update would only
    // wait as long again to say the same.
    if (!meter.identified) {
      return Refuse({UpdateOutcome::kNoMeter, std::string(kNoIdentityText), {}});
    }
    report_.versionsBefore = meter.versions.tail;
    if (meter.updateMode) {
      if (request_.leaveUpdateModeMeters) {
        report_.skipped = true;
        report_.outcome = UpdateOutcome::kWrongMode;
        report_.reason = "in update mode; left alone";
        return false;
      }
      return LeaveToProcedure(UpdateOutcome::kWrongMode, GenericReason(UpdateOutcome::kWrongMode));
    }
    observer_.Identified(meter_, meter);
    versionsBefore_ = meter.versions;
    return true;
  }

  // The file against this meter, before it is switched: a file it would
  // refuse costs no power cycle. The bytes judged here are the bytes sent.
  bool Check() {
    if (!versionsBefore_) return true;  // the procedure reads and judges what it finds
    auto loaded = LoadFirmware(services_.files, request_.path);
    if (const auto* failure = std::get_if<LoadFailure>(&loaded)) {
      return RefuseFile(RefusalOfLoad(*failure));
    }
    firmware_ = std::move(std::get<LoadedFirmware>(loaded));
    if (auto refusal = CheckFirmware(*firmware_, *versionsBefore_)) return RefuseFile(*refusal);
    observer_.FileAccepted(meter_);
    return true;
  }

  // The Select button's procedure, exactly as the window runs it with the
  // file chosen: discovery as on opening, then one press of Select.
  bool Update() {
    DialogState dialog;
    DiscoverInstrument(services_, dialog.session, dialog.readyForUpdate);
    if (!dialog.readyForUpdate) {
      dialog.report.outcome = UpdateOutcome::kNoMeter;
      dialog.report.notice = dialog.session.notice;
    } else if (console_.StopRequested()) {
      dialog.report.outcome = UpdateOutcome::kChooserCancelled;
    } else {
      RunImageUpdate(services_, dialog, [this]() -> std::optional<ChosenFirmware> {
        // After a stop the file is not taken, so the meter is left untouched.
        if (console_.StopRequested()) return std::nullopt;
        return ChosenFirmware{request_.path, firmware_ ? &*firmware_ : nullptr};
      });
    }
    // Whatever the procedure left open (a refusal or a wrong mode leaves the
    // sessions open for another try in the window) is closed as Exit would.
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
    const auto expected = firmware_ ? ExpectedVersionsOf(*firmware_)
                                    : ExpectedVersionsOf(services_.files, request_.path);
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

  // Every attempt, once; a meter left alone, or a run stopped or met in
  // update mode before anything was tried, leaves no record.
  void Record() {
    if (request_.history == nullptr || report_.skipped || !IsRecordedAttempt(report_.outcome)) {
      return;
    }
    HistoryRecord record = MakeAttemptRecord(request_.origin, services_.files, request_.path,
                                             report_.resource, report_.identityBefore, report_);
    record.outcome = std::string(OutcomeName(report_));
    record.reason = report_.reason;
    record.verification = report_.verificationText;
    if (report_.verification != Verification::kNotAsked && !report_.identityAfter.empty()) {
      record.identityAfter = report_.identityAfter;
    }
    std::string error;
    if (!request_.history->Append(record, &error)) observer_.HistoryNotWritten(meter_, error);
  }

  bool Refuse(const FileRefusal& refusal) {
    observer_.Refused(meter_, refusal);
    return Fail(refusal.outcome, OneLine(refusal.text));
  }

  // The update's words ask the window's operator to choose another file;
  // the report keeps the cause as `info` names it.
  bool RefuseFile(const FileRefusal& refusal) {
    Refuse(refusal);
    if (auto cause = RefusalCause(services_.files, request_.path, *versionsBefore_)) {
      report_.reason = std::move(*cause);
    }
    return false;
  }

  // What the window's procedure reports in its own words is left to it in
  // a fleet of one; a fleet's worker ends here with `reason`.
  bool LeaveToProcedure(UpdateOutcome outcome, std::string reason) {
    if (request_.procedureSpeaksForMeter) return true;
    return Fail(outcome, reason.empty() ? GenericReason(outcome) : std::move(reason));
  }

  bool Fail(UpdateOutcome outcome, std::string reason) {
    report_.outcome = outcome;
    report_.reason = std::move(reason);
    return false;
  }

  const FleetRequest& request_;
  std::size_t meter_;
  FleetObserver& observer_;
  PipelineConsole console_;
  std::optional<ResourceFilterVisa> ownView_;
  VisaLibrary& view_;
  Services services_;
  VisaHandle manager_;
  UpdateReport report_;
  std::optional<MeterVersions> versionsBefore_;  // set once the meter identified in normal mode
  std::optional<LoadedFirmware> firmware_;        // the file as checked, once it passed
};

}  // namespace

std::string_view OutcomeName(const UpdateReport& report) {
  return report.skipped ? "skipped" : UpdateOutcomeName(report.outcome);
}

UpdateReport RunMeterPipeline(VisaLibrary& visa, Clock& clock, FileSystem& files,
                              const FleetRequest& request, std::size_t meter,
                              FleetObserver& observer) {
  return MeterPipeline(visa, clock, files, request, meter, observer).Run();
}

}  // namespace quorvel
