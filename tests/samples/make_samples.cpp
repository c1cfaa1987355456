// Writes the sample firmware files used for demonstrations and end-to-end
// runs against the simulated meter (DSP 01.20, Panel 05, MSP 430 12).
//   make_samples <output folder>
#include <cstdio>
#include <filesystem>
#include <string>

#include "support/firmware_builder.h"

namespace {

using quorvel::testing::BinBuilder;
using quorvel::testing::ByteVector;
using quorvel::testing::PakBuilder;

// About 4 KB of payload, the CRC making up the last four bytes.
constexpr std::size_t kSamplePayload = 4092;

// A sample image as firmware that names its own version: after installing it
// the simulated meter reports that version, so --verify can pass.
ByteVector SampleImage(BinBuilder image) {
  return image.Payload(kSamplePayload).RecordVersionInPayload().WithCrc().Bytes();
}

ByteVector DamagedPackage() {
  // Entries 1 and 3 are sound; entry 2 points past the end of the file.
  PakBuilder pak;
  pak.AddImage(BinBuilder().Payload(500).WithCrc(), "dsp.bin")
      .AddImage(BinBuilder().Target(1).Version("06.00").Payload(300).WithCrc(), "panel.bin")
      .AddImage(BinBuilder().Version("01.30").Payload(200).WithCrc(), "dsp-check.bin");
  const std::size_t fileSize = pak.Bytes().size();
  return pak.EntryOffset(2, static_cast<std::int32_t>(fileSize + 1000)).Bytes();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_samples <output folder>\n");
    return 2;
  }
  const std::filesystem::path folder = argv[1];
  std::error_code error;
  std::filesystem::create_directories(folder, error);

  const std::pair<const char*, ByteVector> samples[] = {
      {"dsp-newer.bin", SampleImage(BinBuilder().Version("01.21"))},
      {"dsp-older.bin", SampleImage(BinBuilder().Version("01.10"))},
      {"bad-signature.bin", SampleImage(BinBuilder().Signature("NOTUS").Version("01.21"))},
      {"package-3.pak",
       PakBuilder()
           .AddImage(BinBuilder().Version("01.30").Payload(1500).WithCrc(), "dsp.bin")
           .AddImage(BinBuilder().Target(1).Version("06.00").Payload(700).WithCrc(), "panel.bin")
           .AddImage(BinBuilder().Version("01.30").Payload(400).WithCrc(), "dsp-check.bin")
           .Bytes()},
      {"damaged.pak", DamagedPackage()},
  };
  for (const auto& [name, bytes] : samples) {
    if (!quorvel::testing::WriteFile(folder / name, bytes)) {
      std::fprintf(stderr, "make_samples: cannot write %s\n", (folder / name).string().c_str());
      return 1;
    }
  }
  return 0;
}
