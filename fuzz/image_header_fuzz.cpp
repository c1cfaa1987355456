// Arbitrary bytes as an image header, judged against several meters.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "firmware/image_header.h"
#include "fuzz_support.h"

namespace {

using quorvel::fuzz::Require;

void JudgeAgainst(const quorvel::ImageHeader& header, const quorvel::MeterVersions& meter) {
  quorvel::fuzz::CountingConsole console;
  const quorvel::HeaderVerdict verdict = quorvel::JudgeImageHeader(header, meter);
  const bool accepted = quorvel::CheckImageHeader(header, meter, console);
  // The check and the judgement are one rule; a refusal always explains itself.
  Require(accepted == (verdict == quorvel::HeaderVerdict::kAccept));
  Require(accepted == (console.lines == 0));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> input(data, size);
  const quorvel::ImageHeader header = quorvel::DecodeImageHeader(input);
  Require(header.makerSignature().size() <= 15);
  Require(header.imageVersion().size() <= 5);
  (void)header.imageVersionBytes();
  (void)quorvel::TargetName(header.functionId());

  // Bytes after the header supply a meter of their own.
  std::string meterText;
  if (size > quorvel::kImageHeaderSize) {
    meterText.assign(reinterpret_cast<const char*>(data) + quorvel::kImageHeaderSize,
                     size - quorvel::kImageHeaderSize);
  }
  JudgeAgainst(header, {"01.20", "01.20.05.12"});
  JudgeAgainst(header, {"02.xx", ""});
  JudgeAgainst(header, {"", ""});
  JudgeAgainst(header, {meterText.substr(0, 5), meterText.substr(meterText.size() > 11 ? meterText.size() - 11 : 0)});

  // Reading from a file at any position decodes the same bytes as decoding directly.
  quorvel::fuzz::BytesFile file(input);
  const std::size_t position = size == 0 ? 0 : data[0] % (size + 1);
  const quorvel::ImageHeader read = quorvel::ReadImageHeader(file, static_cast<std::int64_t>(position));
  Require(read.decoded == quorvel::DecodeImageHeader(input.subspan(position)).decoded);
  return 0;
}
