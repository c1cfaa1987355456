#include "presenter/window_sentences.h"

#include <algorithm>
#include <chrono>
#include <vector>

#include "firmware/package_check.h"
#include "firmware/version_slots.h"
#include "instrument/identity.h"
#include "instrument/wire_format.h"
#include "presenter/window_texts.h"
#include "visa/resource_filter_visa.h"

namespace quorvel {

namespace {

struct Processor {
  std::uint8_t functionId;
  std::string_view name;
};
constexpr Processor kProcessors[] = {{0, "DSP"}, {1, "Panel"}, {2, "MSP 430"}};

const std::optional<std::string>& FileVersion(const ExpectedVersions& file, std::uint8_t id) {
  return id == 0 ? file.dsp : id == 1 ? file.panel : file.msp430;
}

const std::string& MeterVersion(const MeterSummary& meter, std::uint8_t id) {
  return id == 0 ? meter.dspVersion : id == 1 ? meter.panelVersion : meter.msp430Version;
}

std::string Sentence(std::string text) {
  // Texts written for a box may break lines; the strip is one paragraph.
  std::replace(text.begin(), text.end(), '\n', ' ');
  if (text.empty()) return text;
  if (text[0] >= 'a' && text[0] <= 'z') text[0] = static_cast<char>(text[0] - 'a' + 'A');
  if (text.back() != '.') text += '.';
  return text;
}

std::string Join(std::initializer_list<std::string_view> parts) {
  std::string text;
  for (const std::string_view part : parts) {
    if (part.empty()) continue;
    if (!text.empty()) text += ' ';
    text += part;
  }
  return text;
}

// "DSP updated to 01.21, Panel to 06."
std::string Installed(const std::optional<ExpectedVersions>& file) {
  std::string text;
  if (file) {
    for (const Processor& processor : kProcessors) {
      const std::optional<std::string>& version = FileVersion(*file, processor.functionId);
      if (!version) continue;
      text += text.empty() ? std::string(processor.name) + " updated to " + *version
                           : ", " + std::string(processor.name) + " to " + *version;
    }
  }
  return text.empty() ? "The update is complete." : text + ".";
}

// "File: DSP 01.10; meter: DSP 01.20." for the processors the file carries.
std::string BothVersions(const std::optional<ExpectedVersions>& file,
                         const std::optional<MeterSummary>& meter) {
  if (!file || !meter || meter->dspVersion.empty()) return {};
  std::string ofFile;
  std::string ofMeter;
  for (const Processor& processor : kProcessors) {
    const std::optional<std::string>& version = FileVersion(*file, processor.functionId);
    if (!version) continue;
    const std::string separator = ofFile.empty() ? "" : ", ";
    ofFile += separator + std::string(processor.name) + " " + *version;
    ofMeter +=
        separator + std::string(processor.name) + " " + MeterVersion(*meter, processor.functionId);
  }
  if (ofFile.empty()) return {};
  return "File: " + ofFile + "; meter: " + ofMeter + ".";
}

std::string WhichImage(const UpdateReport& report) {
  if (!report.package) return "the image";
  return "image " + std::to_string(report.image) + " of " + std::to_string(report.imageCount);
}

std::string TransferFailed(const UpdateReport& report) {
  std::string what;
  if ((report.step == TransferStep::kStatusRefused ||
       report.step == TransferStep::kEndStatusRefused) &&
      report.meterStatus) {
    what = "The meter refused " + WhichImage(report) + ": " + StatusMeaning(*report.meterStatus) +
           " (" + report.MeterStatusText() + ").";
  } else {
    what = Sentence(TransferFailureText(report));
  }
  return Join({what, kTryAgainAfterPowerCycle});
}

std::string NoMeter(const std::string& accessHint) {
  std::string hint = accessHint;
  // The hint is written for a box; the strip is one paragraph.
  for (std::size_t at = hint.find("\n\n"); at != std::string::npos; at = hint.find("\n\n", at)) {
    hint.replace(at, 2, " ");
  }
  return Join({kNoMeterFound, hint});
}

StripModel Refused(const RunFacts& facts) {
  const UpdateReport& report = facts.report;
  const bool damaged = report.notice == kDamagedPackageText;
  const std::string reason = Sentence(report.reason.empty() ? report.notice : report.reason);
  const std::string versions = damaged ? std::string() : BothVersions(facts.file, facts.meter);
  const std::string_view mode = report.switchedToUpdateMode ? kLeftInUpdateMode : kMeterUnchanged;
  return {Join({reason, versions, kNothingSent, mode}), StripKind::kWarning};
}

}  // namespace

MeterSummary SummarizeMeter(std::string resource, std::string_view identity) {
  MeterSummary meter;
  meter.serial = SerialOfResource(resource);
  meter.resource = std::move(resource);
  const std::string reply = WithoutLineEnd(std::string(identity));
  if (reply.empty()) return meter;
  // "maker,model,serial,versions"
  const std::size_t firstComma = reply.find(',');
  if (firstComma != std::string::npos) {
    const std::size_t secondComma = reply.find(',', firstComma + 1);
    meter.model = reply.substr(firstComma + 1, secondComma == std::string::npos
                                                   ? std::string::npos
                                                   : secondComma - firstComma - 1);
  }
  const MeterVersions versions = VersionsFromIdentity(reply);
  meter.inUpdateMode = IsWrongMode(versions);
  // A reply too short to end in its versions names none.
  const bool endsInVersions =
      versions.tail.size() == kVersionTailLength && versions.tail.find(',') == std::string::npos;
  if (meter.inUpdateMode || !endsInVersions) return meter;
  for (const Processor& processor : kProcessors) {
    const VersionSlot slot = *VersionSlotOf(processor.functionId);
    std::string& version = processor.functionId == 0   ? meter.dspVersion
                           : processor.functionId == 1 ? meter.panelVersion
                                                       : meter.msp430Version;
    version = versions.tail.substr(slot.position, slot.length);
  }
  return meter;
}

std::string MeterLineText(const MeterSummary& meter, std::string_view backend, bool withSerial) {
  std::vector<std::string> parts;
  if (withSerial && !meter.serial.empty()) parts.push_back(meter.serial);
  if (!meter.model.empty()) parts.push_back(meter.model);
  if (meter.inUpdateMode) {
    parts.emplace_back(kMeterInUpdateMode);
  } else {
    for (const Processor& processor : kProcessors) {
      const std::string& version = MeterVersion(meter, processor.functionId);
      if (!version.empty()) parts.push_back(std::string(processor.name) + " " + version);
    }
  }
  const bool simulated = backend == "sim" || backend.starts_with("sim:");
  if (simulated) {
    parts.emplace_back(kSimulatedMeter);
  } else if (!backend.empty()) {
    parts.emplace_back(backend.substr(0, backend.find(':')));
  }
  std::string text;
  for (const std::string& part : parts) {
    if (!text.empty()) text += kMeterSeparator;
    text += part;
  }
  return text;
}

bool LeavesUpdateMode(const UpdateReport& report) {
  return report.switchedToUpdateMode && report.outcome != UpdateOutcome::kInstalled;
}

StripModel StripAfterRun(const RunFacts& facts) {
  const UpdateReport& report = facts.report;
  switch (report.outcome) {
    case UpdateOutcome::kRediscovered:
      return StripAfterSearch(facts.meterReady, facts.meter, facts.leftInUpdateMode,
                              facts.accessHint);
    case UpdateOutcome::kWrongMode:
      return {std::string(facts.leftInUpdateMode ? kStillInUpdateMode : kFoundInUpdateMode),
              StripKind::kWarning};
    case UpdateOutcome::kChooserCancelled:
      return {};
    case UpdateOutcome::kFileNotOpened:
      return {std::string(kCouldNotOpenFile), StripKind::kFailure};
    case UpdateOutcome::kFileRefused:
      return Refused(facts);
    case UpdateOutcome::kNoMeter:
      if (report.step == TransferStep::kMeterLost) {
        return {std::string(kMeterDidNotComeBack), StripKind::kFailure};
      }
      if (report.notice == kNoIdentityText) return {report.notice, StripKind::kFailure};
      return {NoMeter(facts.accessHint), StripKind::kFailure};
    case UpdateOutcome::kInstalled:
      return {Join({Installed(facts.file), kRecycleToStart}), StripKind::kSuccess};
    case UpdateOutcome::kUnconfirmed:
      return {Join({Sentence(UnconfirmedText(report)), kCheckVersionsAfterRestart}),
              StripKind::kWarning};
    case UpdateOutcome::kTransferFailed:
      return {TransferFailed(report), StripKind::kFailure};
    case UpdateOutcome::kStopped:
      return {Join({kTransferStopped, kLeftInUpdateMode}), StripKind::kWarning};
  }
  return {};
}

StripModel StripAfterSearch(bool ready, const std::optional<MeterSummary>& meter,
                            bool leftInUpdateMode, const std::string& accessHint) {
  if (!ready) return {NoMeter(accessHint), StripKind::kFailure};
  const bool inUpdateMode = meter ? meter->inUpdateMode : leftInUpdateMode;
  if (!inUpdateMode) return {};
  return {std::string(leftInUpdateMode ? kStillInUpdateMode : kFoundInUpdateMode),
          StripKind::kWarning};
}

std::string WaitingSentence(const WaitingReport& report) {
  std::string_view what;
  switch (report.what) {
    case MeterWait::kNone:
      return {};
    case MeterWait::kSwitching:
      what = kWaitingForSwitch;
      break;
    case MeterWait::kRestarting:
      what = kWaitingForRestart;
      break;
    case MeterWait::kReconnecting:
      what = kWaitingForReconnection;
      break;
  }
  if (report.left <= Millis{0}) return std::string(what) + ".";
  const auto seconds = std::chrono::ceil<std::chrono::seconds>(report.left).count();
  return std::string(what) + ", about " + std::to_string(seconds) + " s left.";
}

std::string StatusMeaning(std::uint8_t statusCharacter) {
  const std::string_view name = StatusName(statusCharacter);
  if (name == "FRAME_ERROR") return "a frame arrived damaged";
  if (name == "CHECKSUM_ERROR") return "the image's checksum does not match its data";
  if (name == "ERASE_ERROR") return "the meter could not erase its memory";
  if (name == "PROGRAM_ERROR") return "the meter could not write its memory";
  if (name == "VERSION_ERROR") return "the meter does not take this version";
  if (name == "FW_ERROR") return "the meter found the firmware unusable";
  return "the meter answered with a status it does not explain";
}

}  // namespace quorvel
