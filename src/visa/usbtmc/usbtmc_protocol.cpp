#include "visa/usbtmc/usbtmc_protocol.h"

#include <algorithm>
#include <cstdio>

namespace quorvel::usbtmc {

namespace {

std::array<std::uint8_t, kHeaderSize> EncodeHeader(std::uint8_t msgId, std::uint8_t bTag,
                                                   std::uint32_t transferSize,
                                                   std::uint8_t attributes) {
  return {msgId,
          bTag,
          static_cast<std::uint8_t>(~bTag),
          0x00,
          static_cast<std::uint8_t>(transferSize & 0xFFu),
          static_cast<std::uint8_t>((transferSize >> 8) & 0xFFu),
          static_cast<std::uint8_t>((transferSize >> 16) & 0xFFu),
          static_cast<std::uint8_t>((transferSize >> 24) & 0xFFu),
          attributes,
          0x00,
          0x00,
          0x00};
}

std::uint32_t ReadLittleEndian32(std::span<const std::uint8_t, 4> bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

// A stale reply longer than this is not skipped but refused: no request of
// ours asks for more than one message's worth.
constexpr std::uint32_t kMaxStaleReply = 64 * 1024;

}  // namespace

bool IsUsbtmcInterface(std::uint8_t interfaceClass, std::uint8_t subClass, std::uint8_t protocol) {
  return interfaceClass == kInterfaceClass && subClass == kInterfaceSubClass &&
         (protocol == kProtocolPlain || protocol == kProtocolUsb488);
}

std::uint8_t BTagSequence::Next() {
  last_ = last_ == 255 ? 1 : static_cast<std::uint8_t>(last_ + 1);
  return last_;
}

std::vector<std::uint8_t> EncodeDevDepMsgOut(std::uint8_t bTag,
                                             std::span<const std::uint8_t> payload,
                                             bool endOfMessage) {
  const auto header = EncodeHeader(kDevDepMsgOut, bTag, static_cast<std::uint32_t>(payload.size()),
                                   endOfMessage ? kAttributeEndOfMessage : 0);
  std::vector<std::uint8_t> message(PaddedSize(kHeaderSize + payload.size()), 0);
  std::copy(header.begin(), header.end(), message.begin());
  std::copy(payload.begin(), payload.end(), message.begin() + kHeaderSize);
  return message;
}

std::array<std::uint8_t, kHeaderSize> EncodeRequestDevDepMsgIn(std::uint8_t bTag,
                                                               std::uint32_t maxBytes) {
  return EncodeHeader(kRequestDevDepMsgIn, bTag, maxBytes, 0);
}

std::size_t PayloadBytesDelivered(std::size_t bytesTransferred, std::size_t payloadSize) {
  if (bytesTransferred <= kHeaderSize) return 0;
  return std::min(bytesTransferred - kHeaderSize, payloadSize);
}

std::string_view DescribeHeaderProblem(HeaderProblem problem) {
  switch (problem) {
    case HeaderProblem::kNone:
      return "no problem";
    case HeaderProblem::kTooShort:
      return "reply shorter than a message header";
    case HeaderProblem::kWrongMsgId:
      return "reply is not a DEV_DEP_MSG_IN";
    case HeaderProblem::kWrongTag:
      return "reply answers another request (bTag mismatch)";
    case HeaderProblem::kTagNotInverted:
      return "reply header is corrupt (bTag not complemented)";
    case HeaderProblem::kOversized:
      return "reply claims more bytes than were requested";
  }
  return "unknown problem";
}

std::string HexBytes(std::span<const std::uint8_t> bytes) {
  std::string text;
  char digits[4];
  for (std::size_t i = 0; i < std::min<std::size_t>(bytes.size(), kHeaderSize); ++i) {
    std::snprintf(digits, sizeof digits, i == 0 ? "%02X" : " %02X", static_cast<unsigned>(bytes[i]));
    text += digits;
  }
  if (bytes.size() > kHeaderSize) text += " ...";
  return text;
}

std::string DescribeRefusedHeader(HeaderProblem problem, std::span<const std::uint8_t> header,
                                  std::uint8_t expectedTag, std::uint32_t requested) {
  char text[128];
  if (problem == HeaderProblem::kTooShort || header.size() < kHeaderSize) {
    std::snprintf(text, sizeof text, "the meter's reply was %zu bytes, shorter than a message header",
                  header.size());
  } else if (problem == HeaderProblem::kWrongMsgId) {
    std::snprintf(text, sizeof text, "the meter's reply header names message 0x%02X, expected 0x%02X",
                  static_cast<unsigned>(header[0]), static_cast<unsigned>(kDevDepMsgIn));
  } else if (problem == HeaderProblem::kWrongTag) {
    std::snprintf(text, sizeof text, "the meter's reply answers request 0x%02X, expected 0x%02X",
                  static_cast<unsigned>(header[1]), static_cast<unsigned>(expectedTag));
  } else if (problem == HeaderProblem::kOversized) {
    std::snprintf(text, sizeof text, "the meter's reply claims %u bytes, %u were asked for",
                  static_cast<unsigned>(ReadLittleEndian32(header.subspan<4, 4>())),
                  static_cast<unsigned>(requested));
  } else {
    std::snprintf(text, sizeof text, "the meter's reply header is corrupt (%s)",
                  std::string(DescribeHeaderProblem(problem)).c_str());
  }
  return std::string(text) + " (header " + HexBytes(header) + ")";
}

DevDepMsgInHeader DecodeDevDepMsgInHeader(std::span<const std::uint8_t> transfer,
                                          std::uint8_t expectedTag, std::uint32_t requested,
                                          std::uint8_t continuationTag) {
  DevDepMsgInHeader header;
  if (transfer.size() < kHeaderSize) {
    header.problem = HeaderProblem::kTooShort;
  } else if (transfer[0] != kDevDepMsgIn) {
    header.problem = HeaderProblem::kWrongMsgId;
  } else if (transfer[1] != expectedTag &&
             (continuationTag == 0 || transfer[1] != continuationTag)) {
    header.problem = HeaderProblem::kWrongTag;
  } else if (transfer[2] != static_cast<std::uint8_t>(~transfer[1])) {
    header.problem = HeaderProblem::kTagNotInverted;
  } else {
    header.transferSize = ReadLittleEndian32(transfer.subspan<4, 4>());
    header.endOfMessage = (transfer[8] & kAttributeEndOfMessage) != 0;
    if (header.transferSize > requested) header.problem = HeaderProblem::kOversized;
  }
  return header;
}

ReplyAssembler::ReplyAssembler(std::uint8_t bTag, std::span<std::uint8_t> destination,
                               std::size_t strayAlignment, TagHistory history)
    : bTag_(bTag), destination_(destination), strayAlignment_(strayAlignment), history_(history) {}

bool ReplyAssembler::IsAbandonedReply() const {
  const std::uint8_t abandoned = history_.abandoned;
  return abandoned != 0 && header_.problem == HeaderProblem::kWrongTag &&
         headerBytes_[1] == abandoned && headerBytes_[2] == static_cast<std::uint8_t>(~abandoned) &&
         ReadLittleEndian32(std::span<const std::uint8_t>(headerBytes_).subspan<4, 4>()) <=
             kMaxStaleReply;
}

bool ReplyAssembler::IsStrayAlignment(std::span<const std::uint8_t> transfer) const {
  if (transfer.empty() || transfer.size() > strayAlignment_) return false;
  // A header cut into tiny pieces starts with the MsgID and this request's
  // bTag; owed alignment bytes of the previous reply are anything else.
  const bool headerStart =
      transfer[0] == kDevDepMsgIn && (transfer.size() < 2 || transfer[1] == bTag_);
  return !headerStart;
}

ReplyAssembler::State ReplyAssembler::Consume(std::span<const std::uint8_t> transfer) {
  if (state_ != State::kNeedMore) return state_;
  if (staleBytesLeft_ > 0) {
    const std::size_t skipping = std::min(staleBytesLeft_, transfer.size());
    staleBytesLeft_ -= skipping;
    transfer = transfer.subspan(skipping);
    if (transfer.empty()) return state_;
  }
  if (!headerSeen_ && headerReceived_ == 0 && !transfer.empty()) {
    // Only the very first transfer of a reply can carry the previous one's leftovers.
    const bool stray = IsStrayAlignment(transfer);
    strayAlignment_ = 0;
    if (stray) return state_;
  }
  if (!headerSeen_) {
    const std::size_t taking = std::min(kHeaderSize - headerReceived_, transfer.size());
    std::copy_n(transfer.begin(), taking,
                headerBytes_.begin() + static_cast<std::ptrdiff_t>(headerReceived_));
    headerReceived_ += taking;
    transfer = transfer.subspan(taking);
    if (headerReceived_ < kHeaderSize) return state_;
    header_ = DecodeDevDepMsgInHeader(
        headerBytes_, bTag_,
        static_cast<std::uint32_t>(std::min<std::size_t>(destination_.size(), UINT32_MAX)),
        history_.continuation);
    if (IsAbandonedReply()) {
      // Skip it whole, alignment included, and look for ours behind it.
      const std::uint32_t stale =
          ReadLittleEndian32(std::span<const std::uint8_t>(headerBytes_).subspan<4, 4>());
      staleBytesLeft_ = PaddedSize(kHeaderSize + stale) - kHeaderSize;
      history_.abandoned = 0;
      skippedStale_ = true;
      headerReceived_ = 0;
      header_ = {};
      return Consume(transfer);
    }
    if (header_.problem != HeaderProblem::kNone) {
      state_ = State::kFailed;
      return state_;
    }
    headerSeen_ = true;
  }
  TakePayload(transfer);
  if (received_ == header_.transferSize) state_ = State::kComplete;
  return state_;
}

std::size_t ReplyAssembler::BytesStillExpected() const {
  if (!headerSeen_) return staleBytesLeft_ + kHeaderSize - headerReceived_ + destination_.size();
  return header_.transferSize - received_;
}

void ReplyAssembler::EndAtShortPacket() {
  if (state_ != State::kNeedMore || !headerSeen_) return;
  state_ = State::kComplete;
  endedShort_ = true;
  if ((kHeaderSize + received_) % 4 != 0) return;
  for (std::size_t dropped = 0; dropped < kMaxAlignment && received_ > 0 &&
                                destination_[received_ - 1] == 0;
       ++dropped) {
    --received_;
  }
}

std::size_t ReplyAssembler::AlignmentStillOwed() const {
  if (state_ != State::kComplete || endedShort_) return 0;
  const std::size_t message = kHeaderSize + header_.transferSize;
  const std::size_t alignment = PaddedSize(message) - message;
  return alignment - std::min(alignment, alignmentReceived_);
}

void ReplyAssembler::TakePayload(std::span<const std::uint8_t> bytes) {
  // transferSize was checked against the destination's size, so this bound
  // also keeps the copy inside the caller's buffer.
  const std::size_t wanted = header_.transferSize - received_;
  const std::size_t taking = std::min(wanted, bytes.size());
  std::copy_n(bytes.begin(), taking, destination_.begin() + static_cast<std::ptrdiff_t>(received_));
  received_ += taking;
  alignmentReceived_ += bytes.size() - taking;
}

std::string SanitizeSerial(std::string_view raw) {
  std::string serial(raw.substr(0, kMaxSerialLength));
  for (char& c : serial) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte >= 0x7F || c == ':') c = '_';
  }
  return serial;
}

std::uint8_t ControlStatus(std::span<const std::uint8_t> reply) {
  return reply.empty() ? kStatusFailed : reply[0];
}

AbortStatus CheckStatus(std::span<const std::uint8_t> reply) {
  AbortStatus result;
  if (reply.size() < 2) return result;
  result.status = reply[0];
  result.fifoNotEmpty = (reply[1] & kBulkInFifoNotEmpty) != 0;
  return result;
}

}  // namespace quorvel::usbtmc
