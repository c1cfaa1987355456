// The USBTMC wire format and the helpers around it, without any USB.
#include "visa/usbtmc/usbtmc_protocol.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "visa/usbtmc/usbtmc_link.h"
#include "visa/usbtmc/usbtmc_permission.h"

namespace quorvel::usbtmc {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes InHeader(std::uint8_t msgId, std::uint8_t bTag, std::uint8_t inverted, std::uint32_t size,
               bool endOfMessage) {
  return {msgId,
          bTag,
          inverted,
          0,
          static_cast<std::uint8_t>(size),
          static_cast<std::uint8_t>(size >> 8),
          static_cast<std::uint8_t>(size >> 16),
          static_cast<std::uint8_t>(size >> 24),
          static_cast<std::uint8_t>(endOfMessage ? 1 : 0),
          0,
          0,
          0};
}

Bytes Reply(std::uint8_t bTag, std::string_view payload, bool endOfMessage = true) {
  Bytes message = InHeader(kDevDepMsgIn, bTag, static_cast<std::uint8_t>(~bTag),
                           static_cast<std::uint32_t>(payload.size()), endOfMessage);
  message.insert(message.end(), payload.begin(), payload.end());
  message.resize(PaddedSize(message.size()), 0);
  return message;
}

TEST(DevDepMsgOut, CarriesHeaderPayloadAndPaddingToFourBytes) {
  struct Case {
    std::string payload;
    bool endOfMessage;
    std::size_t wholeSize;
  };
  for (const Case& c : {Case{"", true, 12}, Case{"L", true, 16}, Case{"L0\n", true, 16},
                        Case{"*idn?\n", false, 20}, Case{"abcdefgh", true, 20}}) {
    SCOPED_TRACE(c.payload);
    const std::span<const std::uint8_t> payload(
        reinterpret_cast<const std::uint8_t*>(c.payload.data()), c.payload.size());
    const Bytes message = EncodeDevDepMsgOut(0x7E, payload, c.endOfMessage);
    ASSERT_EQ(message.size(), c.wholeSize);
    Bytes expected = InHeader(kDevDepMsgOut, 0x7E, 0x81,
                              static_cast<std::uint32_t>(c.payload.size()), c.endOfMessage);
    expected.insert(expected.end(), c.payload.begin(), c.payload.end());
    expected.resize(c.wholeSize, 0);
    EXPECT_EQ(message, expected);
  }
}

TEST(RequestDevDepMsgIn, AsksForTheCountLittleEndianWithoutTermChar) {
  const auto request = EncodeRequestDevDepMsgIn(0xFF, 0x12345678);
  EXPECT_EQ(Bytes(request.begin(), request.end()),
            (Bytes{2, 0xFF, 0x00, 0, 0x78, 0x56, 0x34, 0x12, 0, 0, 0, 0}));
}

TEST(PayloadBytesDelivered, CountsOnlyPayloadThatReallyLeft) {
  struct Case {
    std::size_t transferred, payload, expected;
  };
  for (const Case& c : {Case{0, 10, 0}, Case{11, 10, 0}, Case{12, 10, 0}, Case{17, 10, 5},
                        Case{22, 10, 10}, Case{24, 10, 10}}) {
    EXPECT_EQ(PayloadBytesDelivered(c.transferred, c.payload), c.expected) << c.transferred;
  }
}

TEST(DevDepMsgInHeader, IsCheckedAgainstTheRequestItAnswers) {
  struct Case {
    const char* name;
    Bytes transfer;
    HeaderProblem problem;
  };
  const std::vector<Case> cases = {
      {"good", InHeader(2, 9, 0xF6, 100, true), HeaderProblem::kNone},
      {"exactly the request", InHeader(2, 9, 0xF6, 240, true), HeaderProblem::kNone},
      {"short", Bytes(11, 0), HeaderProblem::kTooShort},
      {"DEV_DEP_MSG_OUT echoed", InHeader(1, 9, 0xF6, 10, true), HeaderProblem::kWrongMsgId},
      {"vendor message", InHeader(127, 9, 0xF6, 10, true), HeaderProblem::kWrongMsgId},
      {"other bTag", InHeader(2, 8, 0xF7, 10, true), HeaderProblem::kWrongTag},
      {"bTag not inverted", InHeader(2, 9, 0x09, 10, true), HeaderProblem::kTagNotInverted},
      {"more than asked", InHeader(2, 9, 0xF6, 241, true), HeaderProblem::kOversized},
      {"wildly more", InHeader(2, 9, 0xF6, 0xFFFFFFFF, true), HeaderProblem::kOversized},
  };
  for (const Case& c : cases) {
    const DevDepMsgInHeader header = DecodeDevDepMsgInHeader(c.transfer, 9, 240);
    EXPECT_EQ(header.problem, c.problem) << c.name;
  }
  const DevDepMsgInHeader good = DecodeDevDepMsgInHeader(InHeader(2, 9, 0xF6, 100, false), 9, 240);
  EXPECT_EQ(good.transferSize, 100u);
  EXPECT_FALSE(good.endOfMessage);
}

// The assembler writes into the first `size` bytes of a guarded buffer.
struct GuardedBuffer {
  explicit GuardedBuffer(std::size_t usable) : bytes(usable + 32, 0xC5), size(usable) {}
  std::span<std::uint8_t> destination() { return {bytes.data(), size}; }
  bool GuardIntact() const {
    return std::all_of(bytes.begin() + static_cast<std::ptrdiff_t>(size), bytes.end(),
                       [](std::uint8_t b) { return b == 0xC5; });
  }
  std::string Text(std::size_t count) const {
    return {bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(count)};
  }
  Bytes bytes;
  std::size_t size;
};

TEST(ReplyAssembler, ReassemblesAReplyHoweverTheTransfersCutIt) {
  const Bytes whole = Reply(5, "NAVIR,Q1000,SN000123,01.20.05.12");
  for (const std::size_t piece : {whole.size(), std::size_t{1}, std::size_t{5}, std::size_t{12},
                                  std::size_t{13}, std::size_t{20}}) {
    SCOPED_TRACE(piece);
    GuardedBuffer buffer(240);
    ReplyAssembler assembler(5, buffer.destination());
    for (std::size_t at = 0; at < whole.size(); at += piece) {
      // A zero-length packet now and then changes nothing.
      EXPECT_NE(assembler.Consume({}), ReplyAssembler::State::kFailed);
      assembler.Consume({whole.data() + at, std::min(piece, whole.size() - at)});
    }
    ASSERT_EQ(assembler.state(), ReplyAssembler::State::kComplete);
    EXPECT_EQ(buffer.Text(assembler.payloadReceived()), "NAVIR,Q1000,SN000123,01.20.05.12");
    EXPECT_TRUE(assembler.endOfMessage());
    EXPECT_TRUE(buffer.GuardIntact());
  }
}

TEST(ReplyAssembler, AsksForWhatIsStillOwed) {
  GuardedBuffer buffer(240);
  ReplyAssembler assembler(5, buffer.destination());
  EXPECT_EQ(assembler.BytesStillExpected(), 12u + 240u);
  const Bytes whole = Reply(5, std::string(100, 'x'));
  assembler.Consume({whole.data(), 5});
  EXPECT_EQ(assembler.BytesStillExpected(), 7u + 240u);
  assembler.Consume({whole.data() + 5, 37});
  EXPECT_EQ(assembler.BytesStillExpected(), 70u);
}

TEST(ReplyAssembler, RefusesBadHeadersAndNeverWritesBeyondTheBuffer) {
  // A device claiming 4000 bytes into a 16-byte buffer, and sending them.
  Bytes lying = InHeader(2, 5, 0xFA, 4000, true);
  lying.resize(12 + 4000, 0xEE);
  GuardedBuffer buffer(16);
  ReplyAssembler assembler(5, buffer.destination());
  EXPECT_EQ(assembler.Consume(lying), ReplyAssembler::State::kFailed);
  EXPECT_EQ(assembler.problem(), HeaderProblem::kOversized);
  EXPECT_EQ(assembler.payloadReceived(), 0u);
  EXPECT_TRUE(buffer.GuardIntact());
  // Once failed, it stays failed.
  EXPECT_EQ(assembler.Consume(Reply(5, "ok")), ReplyAssembler::State::kFailed);

  GuardedBuffer other(240);
  ReplyAssembler stale(6, other.destination());
  EXPECT_EQ(stale.Consume(Reply(5, "late answer")), ReplyAssembler::State::kFailed);
  EXPECT_EQ(stale.problem(), HeaderProblem::kWrongTag);
}

TEST(ReplyAssembler, DropsAlignmentBytesAndReportsAMissingEndOfMessage) {
  GuardedBuffer buffer(240);
  ReplyAssembler assembler(3, buffer.destination());
  Bytes part = Reply(3, "abc", /*endOfMessage=*/false);
  part.insert(part.end(), 64, 0xAA);  // junk after the message
  EXPECT_EQ(assembler.Consume(part), ReplyAssembler::State::kComplete);
  EXPECT_EQ(assembler.payloadReceived(), 3u);
  EXPECT_FALSE(assembler.endOfMessage());
  EXPECT_EQ(buffer.Text(4), std::string("abc") + '\xC5');
}

TEST(ReplyAssembler, AlignmentBytesSentApartAreOwedByOneReplyAndDroppedByTheNext) {
  // "SN000123\n": 12 + 9 bytes, three alignment bytes short of a multiple of 4.
  const Bytes padded = Reply(4, "SN000123\n");
  const Bytes unpadded(padded.begin(), padded.begin() + 21);
  GuardedBuffer first(240);
  ReplyAssembler previous(4, first.destination());
  ASSERT_EQ(previous.Consume(unpadded), ReplyAssembler::State::kComplete);
  EXPECT_EQ(previous.AlignmentStillOwed(), 3u);
  ReplyAssembler aligned(4, first.destination());
  ASSERT_EQ(aligned.Consume(padded), ReplyAssembler::State::kComplete);
  EXPECT_EQ(aligned.AlignmentStillOwed(), 0u);

  struct Case {
    const char* name;
    std::size_t owed;
    Bytes firstTransfer;
    ReplyAssembler::State expected;
  };
  const Bytes next = Reply(5, "NAVIR");
  const std::vector<Case> cases = {
      {"owed bytes arrive", 3, {0, 0, 0}, ReplyAssembler::State::kComplete},
      {"fewer than owed", 3, {0}, ReplyAssembler::State::kComplete},
      {"any value", 2, {0xFF, 0x20}, ReplyAssembler::State::kComplete},
      {"header cut after one byte", 3, {2}, ReplyAssembler::State::kComplete},
      {"header cut after three bytes", 3, {2, 5, 0xFA}, ReplyAssembler::State::kComplete},
      {"nothing owed", 0, {0, 0, 0}, ReplyAssembler::State::kFailed},
      {"more than owed", 2, {0, 0, 0}, ReplyAssembler::State::kFailed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    GuardedBuffer buffer(240);
    ReplyAssembler assembler(5, buffer.destination(), c.owed);
    EXPECT_NE(assembler.Consume({}),
              ReplyAssembler::State::kFailed);  // a ZLP first changes nothing
    assembler.Consume(c.firstTransfer);
    const bool headerPiece = c.firstTransfer[0] == 2 && c.owed > 0;
    assembler.Consume(std::span(next).subspan(headerPiece ? c.firstTransfer.size() : 0));
    EXPECT_EQ(assembler.state(), c.expected);
    if (c.expected == ReplyAssembler::State::kComplete) {
      EXPECT_EQ(buffer.Text(assembler.payloadReceived()), "NAVIR");
    }
    EXPECT_TRUE(buffer.GuardIntact());
  }
}

Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(ReplyAssembler, TakesOtherBTagsOnlyAsItsHistoryAllows) {
  Bytes huge = InHeader(2, 4, 0xFB, 0x7FFFFFFF, true);
  struct Case {
    const char* name;
    TagHistory history;
    Bytes transfer;
    std::size_t piece;  // the transfer arrives in pieces this long
    ReplyAssembler::State state;
    std::string payload;
  };
  const std::vector<Case> cases = {
      {"continuation echoes the previous bTag", {.continuation = 4}, Reply(4, "more"), 64,
       ReplyAssembler::State::kComplete, "more"},
      {"continuation, complement wrong", {.continuation = 4},
       InHeader(2, 4, 0xFA, 0, true), 64, ReplyAssembler::State::kFailed, ""},
      {"a third bTag", {.continuation = 4}, Reply(3, "x"), 64, ReplyAssembler::State::kFailed, ""},
      {"late reply skipped", {.abandoned = 4}, Concat(Reply(4, "late answer"), Reply(5, "ok")), 64,
       ReplyAssembler::State::kComplete, "ok"},
      {"late reply skipped, in pieces", {.abandoned = 4},
       Concat(Reply(4, "late answer"), Reply(5, "ok")), 5, ReplyAssembler::State::kComplete, "ok"},
      {"only one late reply", {.abandoned = 4}, Concat(Reply(4, "a"), Reply(4, "b")), 64,
       ReplyAssembler::State::kFailed, ""},
      {"a late reply too long to be ours", {.abandoned = 4}, huge, 64,
       ReplyAssembler::State::kFailed, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    GuardedBuffer buffer(240);
    ReplyAssembler assembler(5, buffer.destination(), 0, c.history);
    for (std::size_t at = 0; at < c.transfer.size(); at += c.piece)
      assembler.Consume({c.transfer.data() + at, std::min(c.piece, c.transfer.size() - at)});
    EXPECT_EQ(assembler.state(), c.state);
    EXPECT_EQ(buffer.Text(assembler.payloadReceived()), c.payload);
    EXPECT_TRUE(buffer.GuardIntact());
  }
}

TEST(ReplyAssembler, ShortPacketEndsAnOverstatedMessage) {
  struct Case {
    const char* name;
    std::uint32_t announced;
    Bytes payload;  // what the device really sent
    std::size_t kept;
  };
  const std::vector<Case> cases = {
      {"alignment zeros dropped", 17, {'S', 'N', '1', '\n', 'A', 'B', 'C', 'D', 'E', 0, 0, 0}, 9},
      {"zeros off the alignment kept", 20, {'a', 'b', 'c', 'd', 'e', 'f', 0, 0, 0, 0}, 10},
      {"never more than three", 30, Bytes(8, 0), 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    GuardedBuffer buffer(240);
    ReplyAssembler assembler(5, buffer.destination());
    assembler.Consume(Concat(InHeader(2, 5, 0xFA, c.announced, true), c.payload));
    ASSERT_EQ(assembler.state(), ReplyAssembler::State::kNeedMore);
    assembler.EndAtShortPacket();
    EXPECT_EQ(assembler.state(), ReplyAssembler::State::kComplete);
    EXPECT_EQ(assembler.payloadReceived(), c.kept);
    EXPECT_EQ(assembler.AlignmentStillOwed(), 0u);
  }
}

TEST(RefusedHeader, NamesWhatTheDeviceSentWithItsBytes) {
  const std::vector<std::pair<Bytes, std::string>> cases = {
      {InHeader(3, 2, 0xFD, 5, true),
       "the meter's reply header names message 0x03, expected 0x02 "
       "(header 03 02 FD 00 05 00 00 00 01 00 00 00)"},
      {InHeader(2, 7, 0xF8, 5, true), "the meter's reply answers request 0x07, expected 0x02"},
      {InHeader(2, 2, 0xFD, 4000, true), "the meter's reply claims 4000 bytes, 240 were asked for"},
      {Bytes{2, 2}, "the meter's reply was 2 bytes, shorter than a message header (header 02 02)"},
  };
  for (const auto& [header, text] : cases) {
    const HeaderProblem problem = DecodeDevDepMsgInHeader(header, 2, 240).problem;
    EXPECT_EQ(DescribeRefusedHeader(problem, header, 2, 240).substr(0, text.size()), text);
  }
}

TEST(LinkOptions, ParseEveryWorkaroundAndRefuseTheRest) {
  const auto all = ParseLinkOptions("clear=0,read_size=48,eom=0,short_end=1,update_product=0x4A36",
                                    nullptr);
  ASSERT_TRUE(all);
  EXPECT_FALSE(all->clear);
  EXPECT_EQ(all->readSize, 48u);
  EXPECT_FALSE(all->endOfMessage);
  EXPECT_TRUE(all->shortPacketEnds);
  EXPECT_EQ(all->updateProductId, 0x4A36);
  const auto none = ParseLinkOptions("", nullptr);
  ASSERT_TRUE(none);
  EXPECT_TRUE(none->clear && none->endOfMessage && !none->shortPacketEnds && none->readSize == 0);
  for (const char* bad : {"clear=2", "read_size=3", "read_size=70000", "read_size=", "eom",
                          "update_product=0x10000", "speed=1", "read_size=4x", ",eom=0"}) {
    std::string error;
    EXPECT_FALSE(ParseLinkOptions(bad, &error)) << bad;
    EXPECT_NE(error.find("clear=0, read_size=N"), std::string::npos) << bad;
  }
}

TEST(ControlReplies, ShortOrMissingRepliesReadAsFailures) {
  EXPECT_EQ(ControlStatus({}), kStatusFailed);
  EXPECT_EQ(ControlStatus(Bytes{kStatusPending}), kStatusPending);
  EXPECT_EQ(CheckStatus(Bytes{kStatusPending}).status, kStatusFailed);
  const AbortStatus draining = CheckStatus(Bytes{kStatusPending, 0x01});
  EXPECT_EQ(draining.status, kStatusPending);
  EXPECT_TRUE(draining.fifoNotEmpty);
  EXPECT_FALSE(CheckStatus(Bytes{kStatusSuccess, 0x02}).fifoNotEmpty);
}

TEST(SanitizeSerial, KeepsNamesParseable) {
  struct Case {
    std::string raw;
    std::string expected;
  };
  for (const Case& c :
       {Case{"SN000123", "SN000123"}, Case{"SN::1", "SN__1"}, Case{"A B\tC", "A_B_C"},
        Case{std::string("X\0Y", 3), "X_Y"}, Case{"\xC3\xA9t\xC3\xA9", "__t__"},
        Case{std::string(100, 'Z'), std::string(64, 'Z')}}) {
    EXPECT_EQ(SanitizeSerial(c.raw), c.expected) << c.raw;
  }
}

TEST(Deadline, FiniteDeadlinesNeverBecomeLibusbsNoLimit) {
  const Deadline now = Deadline::After(0);
  EXPECT_TRUE(now.expired());
  EXPECT_EQ(now.LibusbTimeout(), 1u);
  const Deadline later = Deadline::After(60000);
  EXPECT_FALSE(later.expired());
  EXPECT_GT(later.LibusbTimeout(), 59000u);
  EXPECT_FALSE(Deadline::Infinite().expired());
  EXPECT_EQ(Deadline::Infinite().LibusbTimeout(), 0u);
}

TEST(PermissionHint, NamesTheDevicesAndTheRule) {
  EXPECT_EQ(PermissionHintFor({}), "");
  const std::string hint = PermissionHintFor({"1d7c:4a35 on bus 1 address 7"});
  EXPECT_NE(hint.find("1d7c:4a35 on bus 1 address 7"), std::string::npos) << hint;
  EXPECT_NE(hint.find("70-quorvel-meter.rules"), std::string::npos) << hint;
}

}  // namespace
}  // namespace quorvel::usbtmc
