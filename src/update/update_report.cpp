#include "update/update_report.h"

#include <cstdio>

#include "instrument/wire_format.h"

namespace quorvel {

namespace {

// "image 2 of 3", or "the image" for a single one.
std::string WhichImage(const UpdateReport& report) {
  if (report.imageCount <= 1) return "the image";
  return "image " + std::to_string(report.image) + " of " + std::to_string(report.imageCount);
}

// "1", "1 and 2", "1, 2 and 3".
std::string NumberList(const std::vector<int>& numbers) {
  std::string text;
  for (std::size_t i = 0; i < numbers.size(); ++i) {
    if (i > 0) text += i + 1 == numbers.size() ? " and " : ", ";
    text += std::to_string(numbers[i]);
  }
  return text;
}

std::string ImagesOfPackage(const std::vector<int>& images, int imageCount) {
  if (imageCount <= 1) return "the image";
  return (images.size() == 1 ? "image " : "images ") + NumberList(images) + " of " +
         std::to_string(imageCount);
}

}  // namespace

std::string UnconfirmedText(const UpdateReport& report) {
  if (report.imagesUnconfirmed.empty()) return {};
  const bool one = report.imagesUnconfirmed.size() == 1;
  return ImagesOfPackage(report.imagesUnconfirmed, report.imageCount) + " got" +
         " no reply to " + (one ? "its" : "their") +
         " end frame; the versions after the power cycle (or --verify) tell whether the meter "
         "installed " + (one ? "it" : "them");
}

std::string AcceptedImagesText(const UpdateReport& report) {
  if (report.imagesAccepted <= 0) return {};
  std::vector<int> accepted;
  for (int image = 1; image <= report.imagesAccepted; ++image) accepted.push_back(image);
  return "the meter accepted " + ImagesOfPackage(accepted, report.imageCount);
}

std::string UpdateReport::MeterStatusText() const {
  if (!meterStatus) return {};
  if (const std::string_view name = StatusName(*meterStatus); !name.empty()) {
    return std::string(name);
  }
  // An unnamed byte from the meter is shown by value, never as it stands.
  char text[16];
  std::snprintf(text, sizeof text, "status 0x%02X", *meterStatus);
  return text;
}

void UpdateReport::TakeProcedureFacts(const UpdateReport& run) {
  outcome = run.outcome;
  package = run.package;
  switchedToUpdateMode = run.switchedToUpdateMode;
  image = run.image;
  imageCount = run.imageCount;
  step = run.step;
  imagesAccepted = run.imagesAccepted;
  imagesUnconfirmed = run.imagesUnconfirmed;
  fileSha256 = run.fileSha256;
  fileSize = run.fileSize;
  meterStatus = run.meterStatus;
  notice = run.notice;
}

std::string TransferFailureText(const UpdateReport& report) {
  const std::string image = WhichImage(report);
  switch (report.step) {
    case TransferStep::kNone:
      return UnconfirmedText(report);
    case TransferStep::kStatusRefused:
      return "the meter reported " + report.MeterStatusText() + " for " + image;
    case TransferStep::kEndStatusRefused:
      return "the meter reported " + report.MeterStatusText() + " for " + image +
             " after its end frame";
    case TransferStep::kStatusNotRead:
      return "the meter gave no reply after the data of " + image;
    case TransferStep::kFileRead:
      return "the firmware file could not be read while sending " + image;
    case TransferStep::kFrameNotWritten:
      return "a frame of " + image + " could not be written to the meter";
    case TransferStep::kFramePartlyWritten:
      return "a frame of " + image + " reached the meter only in part";
    case TransferStep::kEndFrameNotWritten:
      return "the end frame of " + image + " could not be written to the meter";
    case TransferStep::kEndStatusNotRead:
      return "the meter gave no reply to the end frame of " + image;
    case TransferStep::kMeterLost:
      return report.switchedToUpdateMode
                 ? "the meter did not come back after its switch to update mode"
                 : "the meter stopped answering before its switch to update mode";
  }
  return {};
}

std::string_view StepName(TransferStep step) {
  switch (step) {
    case TransferStep::kNone:
      return {};
    case TransferStep::kFileRead:
      return "fileRead";
    case TransferStep::kFrameNotWritten:
      return "frameNotWritten";
    case TransferStep::kFramePartlyWritten:
      return "framePartlyWritten";
    case TransferStep::kStatusRefused:
      return "statusRefused";
    case TransferStep::kStatusNotRead:
      return "statusNotRead";
    case TransferStep::kEndFrameNotWritten:
      return "endFrameNotWritten";
    case TransferStep::kEndStatusRefused:
      return "endStatusRefused";
    case TransferStep::kEndStatusNotRead:
      return "endStatusNotRead";
    case TransferStep::kMeterLost:
      return "meterLost";
  }
  return {};
}

}  // namespace quorvel
