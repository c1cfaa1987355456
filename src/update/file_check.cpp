#include "update/file_check.h"

#include <algorithm>
#include <variant>

#include "firmware/package.h"
#include "firmware/package_check.h"

namespace quorvel {

namespace {

std::optional<FileRefusal> RefuseImageWithoutPayload(std::int64_t size) {
  const auto headerSize = static_cast<std::int64_t>(kImageHeaderSize);
  if (size < headerSize) {
    return FileRefusal{UpdateOutcome::kFileRefused,
                       "The file holds " + std::to_string(std::max<std::int64_t>(size, 0)) +
                           " of the image header's " + std::to_string(headerSize) + " bytes.",
                       {}};
  }
  if (size == headerSize) {
    return FileRefusal{UpdateOutcome::kFileRefused,
                       "The image has no payload after its header; the meter refuses an empty image.",
                       {}};
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> JudgeExaminedPackageHeader(FirmwareFile& package,
                                                      const MeterVersions& meter) {
  PackageEntry examined;
  ReadPackageEntry(package, examined, kExaminedPackageEntry);
  const ImageHeader header = ReadImageHeader(package, examined.imageOffset);
  const HeaderVerdict verdict = JudgePackageHeader(header, meter);
  if (verdict == HeaderVerdict::kAccept) return std::nullopt;
  return HeaderRefusalText(verdict, header.functionId());
}

FileRefusal RefusalOfLoad(const LoadFailure& failure) {
  const UpdateOutcome outcome = failure.problem == LoadProblem::kNotOpened
                                    ? UpdateOutcome::kFileNotOpened
                                    : UpdateOutcome::kFileRefused;
  return FileRefusal{outcome, LoadFailureText(failure), {}};
}

std::optional<FileRefusal> CheckFirmware(const LoadedFirmware& firmware,
                                         const MeterVersions& meter) {
  const std::unique_ptr<FirmwareFile> file = firmware.Open();
  if (NamesPackage(firmware.path)) {
    if (!CheckPackageFile(*file).ok()) {
      return FileRefusal{UpdateOutcome::kFileRefused, std::string(kDamagedPackageText), {}};
    }
    if (auto text = JudgeExaminedPackageHeader(*file, meter)) {
      return FileRefusal{UpdateOutcome::kFileRefused, std::move(*text), {}};
    }
    return std::nullopt;
  }
  // An image without a payload would switch the meter and send it nothing.
  if (auto refusal = RefuseImageWithoutPayload(file->Size())) return refusal;
  const ImageHeader header = ReadImageHeader(*file, 0);
  const HeaderVerdict verdict = JudgeImageHeader(header, meter);
  if (verdict == HeaderVerdict::kAccept) return std::nullopt;
  return FileRefusal{UpdateOutcome::kFileRefused, HeaderRefusalText(verdict, header.functionId()),
                     ImageRefusalLines(verdict, header.functionId())};
}

std::optional<FileRefusal> CheckFileAgainstMeter(FileSystem& files, const std::string& path,
                                                 const MeterVersions& meter) {
  auto loaded = LoadFirmware(files, path);
  if (const auto* failure = std::get_if<LoadFailure>(&loaded)) return RefusalOfLoad(*failure);
  return CheckFirmware(std::get<LoadedFirmware>(loaded), meter);
}

}  // namespace quorvel
