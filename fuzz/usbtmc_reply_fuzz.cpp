// Bytes from the meter's bulk-IN endpoint. Reassembling a reply must never
// write outside the caller's buffer, must hand over exactly the payload its
// header announced (alignment bytes dropped), must refuse a header that does
// not answer the request, and may take only a first transfer that cannot
// start this reply for the previous reply's alignment bytes. Serials from the
// device must always make a resource name that parses back to the same device.
//
// Input: the request's bTag, two bytes of buffer size (little-endian, up to
// 4096), the alignment bytes the previous reply still owed (low two bits),
// then the bulk-IN transfers, each a length byte and that many bytes. Bits 2
// and 3 of the fourth byte let the two bTags before this one be taken as a
// continuation's or an abandoned request's; then only the bounds are checked.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "visa/resource_name.h"
#include "visa/usbtmc/usbtmc_protocol.h"
#include "visa/visa_types.h"

namespace {

using quorvel::fuzz::Require;
using namespace quorvel::usbtmc;
using State = ReplyAssembler::State;

constexpr std::size_t kLargestBuffer = 4096;

void CheckReassembly(std::span<const std::uint8_t> input) {
  if (input.size() < 4) return;
  const std::uint8_t bTag = input[0];
  const std::size_t capacity = (input[1] | std::size_t{input[2]} << 8) % (kLargestBuffer + 1);
  const std::size_t strayAlignment = input[3] & 3u;
  // Exactly as large as asked for, so that AddressSanitizer sees any overrun.
  std::vector<std::uint8_t> destination(capacity);
  const TagHistory history{(input[3] & 4u) ? static_cast<std::uint8_t>(bTag - 1) : std::uint8_t{0},
                           (input[3] & 8u) ? static_cast<std::uint8_t>(bTag - 2) : std::uint8_t{0}};
  if (history.continuation != 0 || history.abandoned != 0) {
    ReplyAssembler assembler(bTag, destination, strayAlignment, history);
    for (std::span<const std::uint8_t> rest = input.subspan(4); !rest.empty();) {
      const std::size_t length = std::min<std::size_t>(rest[0], rest.size() - 1);
      assembler.Consume(rest.subspan(1, length));
      rest = rest.subspan(1 + length);
      Require(assembler.payloadReceived() <= capacity);
      Require(assembler.BytesStillExpected() <= kHeaderSize + 64 * 1024 + capacity);
    }
    return;
  }
  ReplyAssembler assembler(bTag, destination, strayAlignment);

  std::vector<std::uint8_t> offered;  // every byte taken while a reply was still due
  bool dropped = false;
  std::span<const std::uint8_t> rest = input.subspan(4);
  while (!rest.empty()) {
    const std::size_t length = std::min<std::size_t>(rest[0], rest.size() - 1);
    const std::span<const std::uint8_t> transfer = rest.subspan(1, length);
    rest = rest.subspan(1 + length);

    const State before = assembler.state();
    const std::size_t expectedBefore = assembler.BytesStillExpected();
    const State after = assembler.Consume(transfer);
    Require(after == assembler.state());
    if (before != State::kNeedMore) {
      Require(after == before);  // a finished reply takes nothing more
      continue;
    }
    if (!transfer.empty() && offered.empty() && after == State::kNeedMore &&
        assembler.BytesStillExpected() == expectedBefore) {
      // Dropped as leftovers: never twice, never more than was owed, and
      // never what could be the start of this reply's header.
      Require(!dropped && transfer.size() <= strayAlignment);
      Require(transfer[0] != kDevDepMsgIn || (transfer.size() >= 2 && transfer[1] != bTag));
      dropped = true;
      continue;
    }
    offered.insert(offered.end(), transfer.begin(), transfer.end());
    Require(assembler.payloadReceived() <= capacity);
  }

  if (offered.size() < kHeaderSize) {
    Require(assembler.state() == State::kNeedMore && assembler.payloadReceived() == 0);
    Require(assembler.BytesStillExpected() == kHeaderSize - offered.size() + capacity);
    return;
  }
  // The verdict is the header's, wherever the transfer boundaries fell.
  const DevDepMsgInHeader header = DecodeDevDepMsgInHeader(
      std::span<const std::uint8_t>(offered).first(kHeaderSize), bTag,
      static_cast<std::uint32_t>(capacity));
  Require(assembler.problem() == header.problem);
  if (header.problem != HeaderProblem::kNone) {
    Require(assembler.state() == State::kFailed && assembler.payloadReceived() == 0);
    return;
  }
  const std::size_t payloadOffered = offered.size() - kHeaderSize;
  const std::size_t received = assembler.payloadReceived();
  Require(received == std::min<std::size_t>(payloadOffered, header.transferSize));
  Require(std::equal(destination.begin(), destination.begin() + static_cast<std::ptrdiff_t>(received),
                     offered.begin() + kHeaderSize));
  Require(assembler.endOfMessage() == header.endOfMessage);
  if (payloadOffered >= header.transferSize) {
    Require(assembler.state() == State::kComplete);
    // What the next reply may find ahead of its header.
    const std::size_t message = kHeaderSize + header.transferSize;
    const std::size_t alignment = PaddedSize(message) - message;
    Require(assembler.AlignmentStillOwed() ==
            alignment - std::min(alignment, payloadOffered - header.transferSize));
  } else {
    Require(assembler.AlignmentStillOwed() == 0);
    Require(assembler.state() == State::kNeedMore);
    Require(assembler.BytesStillExpected() == header.transferSize - received);
  }
}

void CheckSerial(std::span<const std::uint8_t> input) {
  // An empty serial descriptor never gets here: the link names that device NO_SERIAL.
  if (input.empty()) return;
  const std::string_view raw(reinterpret_cast<const char*>(input.data()), input.size());
  const std::string serial = SanitizeSerial(raw);
  Require(serial.size() == std::min(raw.size(), kMaxSerialLength));

  for (const auto interfaceNumber : {std::optional<unsigned>{}, std::optional<unsigned>{255}}) {
    const quorvel::UsbResourceName name{.board = 0,
                                        .vendorId = quorvel::kMeterVendorId,
                                        .productId = quorvel::kMeterProductId,
                                        .serial = serial,
                                        .interfaceNumber = interfaceNumber};
    const std::string text = name.ToString();
    Require(text.size() < quorvel::VI_FIND_BUFLEN);  // fits a descriptor with its NUL
    const auto parsed = quorvel::ParseUsbResourceName(text);
    Require(parsed && parsed->serial == serial && quorvel::SameUsbResource(*parsed, name));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> input(data, size);
  CheckReassembly(input);
  CheckSerial(input);
  return 0;
}
