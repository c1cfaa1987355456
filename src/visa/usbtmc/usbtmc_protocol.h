#pragma once
// The USBTMC wire format, free of libusb: bulk message headers, the bTag
// sequence, reassembly of a reply that arrives over several bulk-IN transfers,
// and the class-specific control requests. Everything a device sends is
// checked here before a byte of it reaches the caller.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel::usbtmc {

inline constexpr std::size_t kHeaderSize = 12;

// USB interface triple of a USBTMC function; protocol 1 is the USB488 flavour.
inline constexpr std::uint8_t kInterfaceClass = 0xFE;
inline constexpr std::uint8_t kInterfaceSubClass = 0x03;
inline constexpr std::uint8_t kProtocolPlain = 0x00;
inline constexpr std::uint8_t kProtocolUsb488 = 0x01;
bool IsUsbtmcInterface(std::uint8_t interfaceClass, std::uint8_t subClass, std::uint8_t protocol);

// Bulk message ids. The host's request for a reply and the device's reply
// share id 2.
inline constexpr std::uint8_t kDevDepMsgOut = 1;
inline constexpr std::uint8_t kRequestDevDepMsgIn = 2;
inline constexpr std::uint8_t kDevDepMsgIn = 2;

inline constexpr std::uint8_t kAttributeEndOfMessage = 0x01;

// Class-specific control requests.
enum class ControlRequest : std::uint8_t {
  kInitiateAbortBulkOut = 1,
  kCheckAbortBulkOutStatus = 2,
  kInitiateAbortBulkIn = 3,
  kCheckAbortBulkInStatus = 4,
  kInitiateClear = 5,
  kCheckClearStatus = 6,
  kGetCapabilities = 7,
  kIndicatorPulse = 64,
};

// Reply lengths of those requests.
inline constexpr std::uint16_t kInitiateAbortReplySize = 2;
inline constexpr std::uint16_t kCheckAbortReplySize = 8;
inline constexpr std::uint16_t kInitiateClearReplySize = 1;
inline constexpr std::uint16_t kCheckClearReplySize = 2;

// First byte of every control reply.
inline constexpr std::uint8_t kStatusSuccess = 0x01;
inline constexpr std::uint8_t kStatusPending = 0x02;
inline constexpr std::uint8_t kStatusFailed = 0x80;
inline constexpr std::uint8_t kStatusTransferNotInProgress = 0x81;

// bit 0 of the second reply byte of CHECK_CLEAR_STATUS / CHECK_ABORT_BULK_IN_STATUS:
// the device still holds bulk-IN data the host must read away.
inline constexpr std::uint8_t kBulkInFifoNotEmpty = 0x01;

// Every bulk message is zero-padded to a multiple of four bytes.
inline constexpr std::size_t kMaxAlignment = 3;
constexpr std::size_t PaddedSize(std::size_t size) { return (size + 3) / 4 * 4; }

// bTag runs 1..255 and wraps to 1; 0 is never used because some
// instruments reject it.
class BTagSequence {
 public:
  std::uint8_t Next();
  std::uint8_t last() const { return last_; }

 private:
  std::uint8_t last_ = 0;
};

// A whole DEV_DEP_MSG_OUT: header, payload, zero padding.
std::vector<std::uint8_t> EncodeDevDepMsgOut(std::uint8_t bTag,
                                             std::span<const std::uint8_t> payload,
                                             bool endOfMessage);

// REQUEST_DEV_DEP_MSG_IN asking for at most `maxBytes` (no term char).
std::array<std::uint8_t, kHeaderSize> EncodeRequestDevDepMsgIn(std::uint8_t bTag,
                                                               std::uint32_t maxBytes);

// The part of a bulk-OUT transfer that was payload: what a short or
// interrupted write really delivered of it.
std::size_t PayloadBytesDelivered(std::size_t bytesTransferred, std::size_t payloadSize);

enum class HeaderProblem {
  kNone,
  kTooShort,  // fewer than 12 bytes where a header was due
  kWrongMsgId,
  kWrongTag,        // bTag does not echo the request's
  kTagNotInverted,  // byte 2 is not the one's complement of bTag
  kOversized,       // TransferSize is larger than what was asked for
};

std::string_view DescribeHeaderProblem(HeaderProblem problem);

// What a refused reply header said, for the operator and the trace: e.g.
// "the meter's reply header names message 0x03, expected 0x02 (header 03 02 FD 00 ...)".
std::string DescribeRefusedHeader(HeaderProblem problem, std::span<const std::uint8_t> header,
                                  std::uint8_t expectedTag, std::uint32_t requested);

// Up to 12 bytes as "03 02 FD 00 ..." for messages and traces.
std::string HexBytes(std::span<const std::uint8_t> bytes);

struct DevDepMsgInHeader {
  HeaderProblem problem = HeaderProblem::kNone;
  std::uint32_t transferSize = 0;
  bool endOfMessage = false;
};

// Checks the header at the start of the first bulk-IN transfer of a reply
// against the request it answers. A non-zero `continuationTag` is accepted
// too: some devices answer the requests that continue a long reply with the
// bTag of the request that began it.
DevDepMsgInHeader DecodeDevDepMsgInHeader(std::span<const std::uint8_t> transfer,
                                          std::uint8_t expectedTag, std::uint32_t requested,
                                          std::uint8_t continuationTag = 0);

// bTags other than the request's own that a reply may carry (0: none).
struct TagHistory {
  // The request before this one, when its reply went on without EOM.
  std::uint8_t continuation = 0;
  // A request the host gave up on: a device that finished that reply anyway
  // sends it ahead of the next one, and it is skipped whole.
  std::uint8_t abandoned = 0;
};

// Collects one DEV_DEP_MSG_IN reply from successive bulk-IN transfers into a
// caller's buffer. The reply starts with its header (which may itself arrive
// in pieces); the payload follows, in as many transfers as the device likes.
// Alignment bytes after the payload are dropped. Never writes past
// `destination`.
//
// Some devices end the payload with a short packet and send the alignment
// bytes as a transfer of their own, which then arrives ahead of the next
// reply. `strayAlignment` is what the previous reply still owed
// (AlignmentStillOwed()); a first transfer no longer than that which cannot
// start this reply's header is taken for those bytes and dropped.
class ReplyAssembler {
 public:
  enum class State { kNeedMore, kComplete, kFailed };

  ReplyAssembler(std::uint8_t bTag, std::span<std::uint8_t> destination,
                 std::size_t strayAlignment = 0, TagHistory history = {});

  State Consume(std::span<const std::uint8_t> transfer);
  // A short packet ended the message: whatever came of a started payload is
  // all there will be (for devices whose header overstates the reply). As
  // the true length is unknown, zeros where alignment bytes would fall are
  // taken for alignment.
  void EndAtShortPacket();

  State state() const { return state_; }
  std::size_t payloadReceived() const { return received_; }
  bool endOfMessage() const { return header_.endOfMessage; }
  HeaderProblem problem() const { return header_.problem; }
  // The header as received (all 12 bytes once a whole one came).
  std::span<const std::uint8_t> headerBytes() const {
    return std::span<const std::uint8_t>(headerBytes_.data(), headerReceived_);
  }
  std::uint32_t announcedSize() const { return header_.transferSize; }
  // True once a stale reply to the abandoned request was skipped.
  bool skippedStaleReply() const { return skippedStale_; }
  // Bytes the device still owes, header included while none has come, so the
  // next bulk-IN transfer can be sized for them (alignment bytes excluded).
  std::size_t BytesStillExpected() const;
  // Alignment bytes that a complete reply has not delivered yet (0..3).
  std::size_t AlignmentStillOwed() const;

 private:
  bool IsStrayAlignment(std::span<const std::uint8_t> transfer) const;
  bool IsAbandonedReply() const;
  void TakePayload(std::span<const std::uint8_t> bytes);

  std::uint8_t bTag_;
  std::span<std::uint8_t> destination_;
  std::array<std::uint8_t, kHeaderSize> headerBytes_{};
  std::size_t headerReceived_ = 0;
  bool headerSeen_ = false;
  DevDepMsgInHeader header_;
  std::size_t received_ = 0;
  std::size_t alignmentReceived_ = 0;
  std::size_t strayAlignment_;
  TagHistory history_;
  std::size_t staleBytesLeft_ = 0;  // of a skipped reply to the abandoned request
  bool skippedStale_ = false;
  bool endedShort_ = false;
  State state_ = State::kNeedMore;
};

// Longest serial text a resource name carries; longer serials are cut so
// that a name always fits a VI_FIND_BUFLEN descriptor.
inline constexpr std::size_t kMaxSerialLength = 64;

// Serials come from the device: characters that would break a resource name
// (':', blanks, control and non-ASCII bytes) become '_', and the text is cut
// to kMaxSerialLength.
std::string SanitizeSerial(std::string_view raw);

// Control replies, checked for length before use.
struct AbortStatus {
  std::uint8_t status = kStatusFailed;
  bool fifoNotEmpty = false;
};
// INITIATE_* replies (1 or 2 bytes): the status byte; kStatusFailed when missing.
std::uint8_t ControlStatus(std::span<const std::uint8_t> reply);
// CHECK_CLEAR_STATUS / CHECK_ABORT_BULK_IN_STATUS replies.
AbortStatus CheckStatus(std::span<const std::uint8_t> reply);

}  // namespace quorvel::usbtmc
