// The usbtmc backend through the real libusb, against USBTMC devices emulated
// by umockdev: the simulated meter as a USB device, and a scripted device for
// what the meter never does (huge replies, several interfaces).
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <deque>
#include <string>
#include <thread>

#include "sim/sim_config.h"
#include "usbtmc/meter_on_usb.h"
#include "visa/usbtmc/usbtmc_permission.h"
#include "visa/usbtmc/usbtmc_visa.h"

namespace quorvel::testing {
namespace {

using std::chrono::steady_clock;
using Kind = WireEvent::Kind;

constexpr const char* kMeterName = "USB0::0x1D7C::0x4A35::SN000123::INSTR";
constexpr std::uint8_t kBulkOut = 0x01;
constexpr std::uint8_t kBulkIn = 0x82;

Bytes AsBytes(std::string_view text) { return {text.begin(), text.end()}; }

// A device that answers from a script: each request takes the next queued reply.
class ScriptedFunction final : public UsbtmcFunction {
 public:
  std::size_t Receive(std::span<const std::uint8_t> payload) override {
    received.emplace_back(payload.begin(), payload.end());
    return payload.size();
  }
  std::optional<Answer> Reply(std::size_t maxBytes) override {
    if (replies.empty()) return std::nullopt;
    Bytes& next = replies.front();
    Answer answer;
    const std::size_t giving = std::min(maxBytes, next.size());
    answer.bytes.assign(next.begin(), next.begin() + static_cast<std::ptrdiff_t>(giving));
    next.erase(next.begin(), next.begin() + static_cast<std::ptrdiff_t>(giving));
    answer.more = !next.empty();
    if (!answer.more) replies.pop_front();
    return answer;
  }
  void Clear() override { replies.clear(); }
  bool Present() override { return true; }

  std::deque<Bytes> replies;
  std::vector<Bytes> received;
};

class UsbtmcBackend : public ::testing::Test {
 protected:
  // Plugs in the simulated meter(s) with the given knobs and starts the backend.
  void StartWithMeters(std::string_view knobs = "") {
    std::string error;
    auto config = SimConfig::Parse(knobs, &error);
    ASSERT_TRUE(config) << error;
    rack = std::make_unique<MeterRack>(bus, *config, clock);
    StartBackend();
  }

  void StartBackend() {
    std::string error;
    visa = UsbtmcVisa::Create(&error);
    ASSERT_TRUE(visa) << error;
    ASSERT_EQ(visa->viOpenDefaultRM(&rm), VI_SUCCESS);
  }

  ViSession Open(const char* name = kMeterName, ViUInt32 timeoutMs = 1000) {
    ViSession session = VI_NULL;
    EXPECT_EQ(visa->viOpen(rm, name, VI_NULL, 0, &session), VI_SUCCESS) << name;
    EXPECT_EQ(visa->viSetAttribute(session, VI_ATTR_TMO_VALUE, timeoutMs), VI_SUCCESS);
    return session;
  }

  ViStatus Write(ViSession session, std::string_view text, ViUInt32* count = nullptr) {
    ViUInt32 ignored = 0;
    return visa->viWrite(session, reinterpret_cast<const ViByte*>(text.data()),
                         static_cast<ViUInt32>(text.size()), count ? count : &ignored);
  }

  // One read of at most `maxBytes`; the status goes to *status.
  std::string Read(ViSession session, ViUInt32 maxBytes = 240, ViStatus* status = nullptr) {
    std::vector<ViByte> buffer(maxBytes);
    ViUInt32 count = 0;
    const ViStatus result = visa->viRead(session, buffer.data(), maxBytes, &count);
    if (status) *status = result;
    return {buffer.begin(), buffer.begin() + count};
  }

  std::string Query(ViSession session, std::string_view text) {
    EXPECT_EQ(Write(session, text), VI_SUCCESS);
    ViStatus status = VI_SUCCESS;
    std::string reply = Read(session, 240, &status);
    EXPECT_EQ(status, VI_SUCCESS);
    return reply;
  }

  EmulatedDevice& MeterDevice(std::size_t index = 0) {
    EmulatedDevice* device = rack->device(index);
    if (!device) throw std::runtime_error("the meter is not plugged in");
    return *device;
  }

  std::vector<WireEvent> Wire(EmulatedDevice& device, Kind kind) {
    const auto lock = bus.Lock();
    std::vector<WireEvent> events;
    for (const WireEvent& event : device.wire()) {
      if (event.kind == kind) events.push_back(event);
    }
    return events;
  }

  // The class requests among the control transfers (not the descriptor reads).
  std::vector<WireEvent> ClassRequests(EmulatedDevice& device) {
    std::vector<WireEvent> requests;
    for (WireEvent& event : Wire(device, Kind::Control)) {
      if ((event.bytes[0] & 0x60) == 0x20) requests.push_back(std::move(event));
    }
    return requests;
  }

  std::vector<std::string> FindAll(const char* expression, ViStatus* status = nullptr) {
    ViFindList list = VI_NULL;
    ViUInt32 count = 0;
    std::array<ViChar, VI_FIND_BUFLEN> descriptor{};
    const ViStatus found = visa->viFindRsrc(rm, expression, &list, &count, descriptor.data());
    if (status) *status = found;
    std::vector<std::string> names;
    if (found != VI_SUCCESS) return names;
    names.emplace_back(descriptor.data());
    for (ViUInt32 i = 1; i < count; ++i) {
      EXPECT_EQ(visa->viFindNext(list, descriptor.data()), VI_SUCCESS);
      names.emplace_back(descriptor.data());
    }
    EXPECT_EQ(visa->viFindNext(list, descriptor.data()), VI_ERROR_RSRC_NFOUND);
    return names;
  }

  SteadyClock clock;
  EmulatedUsbBus bus{clock};
  std::unique_ptr<MeterRack> rack;
  std::unique_ptr<UsbtmcVisa> visa;
  ViSession rm = VI_NULL;
};

Bytes Header(std::uint8_t msgId, std::uint8_t bTag, std::uint32_t size, std::uint8_t attributes) {
  return {msgId,
          bTag,
          static_cast<std::uint8_t>(~bTag),
          0,
          static_cast<std::uint8_t>(size),
          static_cast<std::uint8_t>(size >> 8),
          static_cast<std::uint8_t>(size >> 16),
          static_cast<std::uint8_t>(size >> 24),
          attributes,
          0,
          0,
          0};
}

Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// ------------------------------------------------------------------ discovery

struct DiscoveryCase {
  const char* expression;
  const char* knobs;
  std::vector<std::string> expected;
};

TEST_F(UsbtmcBackend, DiscoveryFindsEveryMeterWithBothSearchExpressions) {
  const std::vector<DiscoveryCase> cases = {
      {"USB0::0x1D7C::0x4A35::?*INSTR", "", {kMeterName}},
      {"USB[0-9]::0x1D7C::0x4A35::?*INSTR", "", {kMeterName}},
      {"USB0::0x1D7C::0x4A35::?*INSTR",
       "meters=2",
       {kMeterName, "USB0::0x1D7C::0x4A35::SN000124::INSTR"}},
      {"USB[0-9]::0x1D7C::0x4A35::?*INSTR",
       "meters=2",
       {kMeterName, "USB0::0x1D7C::0x4A35::SN000124::INSTR"}},
  };
  // Each case needs its own libusb context created after its devices.
  for (const DiscoveryCase& c : cases) {
    SCOPED_TRACE(std::string(c.expression) + " with " + c.knobs);
    visa.reset();
    rack.reset();
    StartWithMeters(c.knobs);
    EXPECT_EQ(FindAll(c.expression), c.expected);
  }
}

TEST_F(UsbtmcBackend, DiscoveryIgnoresOtherDevicesAndReportsNoMatch) {
  StartWithMeters("absent=1");
  DeviceIdentity other;
  other.vendorId = 0x0957;
  other.productId = 0x0607;
  other.serial = "MY123";
  bus.Plug(other, std::make_shared<ScriptedFunction>());
  StartBackend();

  ViStatus status = VI_SUCCESS;
  EXPECT_TRUE(FindAll("USB0::0x1D7C::0x4A35::?*INSTR", &status).empty());
  EXPECT_EQ(status, VI_ERROR_RSRC_NFOUND);
  EXPECT_EQ(FindAll("USB?*"), std::vector<std::string>{"USB0::0x0957::0x0607::MY123::INSTR"});
  EXPECT_EQ(UsbtmcPermissionHint(), "");  // as root every device opens
}

TEST_F(UsbtmcBackend, DeviceWithTwoUsbtmcInterfacesNamesEachInterface) {
  StartWithMeters("absent=1");
  DeviceIdentity twoFunctions;
  twoFunctions.usbtmcInterfaces = 2;
  bus.Plug(twoFunctions, std::make_shared<ScriptedFunction>());
  StartBackend();

  const std::vector<std::string> expected = {"USB0::0x1D7C::0x4A35::SN000123::0::INSTR",
                                             "USB0::0x1D7C::0x4A35::SN000123::1::INSTR"};
  EXPECT_EQ(FindAll("USB0::0x1D7C::0x4A35::?*INSTR"), expected);
  const ViSession second = Open(expected[1].c_str());
  ASSERT_EQ(Write(second, "*CLS\n"), VI_SUCCESS);
  EmulatedDevice& device = *bus.devices().back();
  ASSERT_EQ(Wire(device, Kind::BulkOut).size(), 1u);
  EXPECT_EQ(Wire(device, Kind::BulkOut)[0].endpoint, 0x03);  // the second interface's bulk-OUT
}

// ----------------------------------------------------------- open and close

TEST_F(UsbtmcBackend, OpenDetachesTheKernelDriverAndCloseGivesItBack) {
  StartWithMeters();
  EmulatedDevice& device = MeterDevice();
  const ViSession session = Open();
  {
    const auto lock = bus.Lock();
    EXPECT_FALSE(device.kernelDriverAttached(0));
  }
  EXPECT_EQ(Wire(device, Kind::Claim).size(), 1u);

  // A second session to a claimed interface is refused, not shared.
  ViSession second = VI_NULL;
  EXPECT_EQ(visa->viOpen(rm, kMeterName, VI_NULL, 0, &second), VI_ERROR_RSRC_BUSY);
  EXPECT_EQ(second, VI_NULL);

  EXPECT_EQ(visa->viClose(session), VI_SUCCESS);
  EXPECT_EQ(Wire(device, Kind::Release).size(), 1u);
  const auto lock = bus.Lock();
  EXPECT_TRUE(device.kernelDriverAttached(0));
}

TEST_F(UsbtmcBackend, OpenRefusesBadAndUnknownNames) {
  StartWithMeters();
  const std::vector<std::pair<const char*, ViStatus>> cases = {
      {"GPIB0::22::INSTR", VI_ERROR_INV_RSRC_NAME},
      {"USB0::0x1D7C::0x4A35::INSTR", VI_ERROR_INV_RSRC_NAME},
      {"USB0::0x1D7C::0x4A35::SN999999::INSTR", VI_ERROR_RSRC_NFOUND},
      {"USB0::0x1D7C::0x4A36::SN000123::INSTR", VI_ERROR_RSRC_NFOUND},
      {"usb0::7548::18997::sn000123::instr", VI_SUCCESS},  // decimal ids, any case
  };
  for (const auto& [name, expected] : cases) {
    ViSession session = VI_NULL;
    EXPECT_EQ(visa->viOpen(rm, name, VI_NULL, 0, &session), expected) << name;
    if (session != VI_NULL) visa->viClose(session);
  }
}

TEST_F(UsbtmcBackend, ClosingTheResourceManagerReleasesItsSessions) {
  StartWithMeters();
  Open();
  EXPECT_EQ(visa->viClose(rm), VI_SUCCESS);
  EXPECT_EQ(Wire(MeterDevice(), Kind::Release).size(), 1u);
  EXPECT_EQ(visa->OpenHandleCount(), 0);
}

// ------------------------------------------------------------ the wire format

TEST_F(UsbtmcBackend, QueryAndCommandHaveExactBytesOnTheWire) {
  StartWithMeters();
  const ViSession session = Open();
  ViUInt32 sent = 0;
  ASSERT_EQ(Write(session, "*idn?\n", &sent), VI_SUCCESS);
  EXPECT_EQ(sent, 6u);
  EXPECT_EQ(Read(session), "NAVIR,Q1000,SN000123,01.20.05.12");
  ASSERT_EQ(Write(session, "L0\n", &sent), VI_SUCCESS);
  EXPECT_EQ(sent, 3u);

  const auto out = Wire(MeterDevice(), Kind::BulkOut);
  ASSERT_EQ(out.size(), 3u);
  // DEV_DEP_MSG_OUT, bTag 1, EOM, the text, zero-padded to 4 bytes.
  EXPECT_EQ(out[0].bytes, Concat(Header(1, 1, 6, 0x01), Concat(AsBytes("*idn?\n"), {0, 0})));
  // REQUEST_DEV_DEP_MSG_IN for 240 bytes, bTag 2.
  EXPECT_EQ(out[1].bytes, Header(2, 2, 240, 0x00));
  EXPECT_EQ(out[2].bytes, Concat(Header(1, 3, 3, 0x01), Concat(AsBytes("L0\n"), {0})));

  const auto in = Wire(MeterDevice(), Kind::BulkIn);
  ASSERT_EQ(in.size(), 1u);
  EXPECT_EQ(in[0].endpoint, kBulkIn);
  EXPECT_EQ(in[0].bytes,
            Concat(Header(2, 2, 32, 0x01), AsBytes("NAVIR,Q1000,SN000123,01.20.05.12")));
}

TEST_F(UsbtmcBackend, BTagWrapsFrom255ToOneAndIsNeverZero) {
  StartWithMeters();
  const ViSession session = Open();
  for (int i = 0; i < 300; ++i) ASSERT_EQ(Write(session, "L0\n"), VI_SUCCESS);
  const auto out = Wire(MeterDevice(), Kind::BulkOut);
  ASSERT_EQ(out.size(), 300u);
  for (std::size_t i = 0; i < out.size(); ++i) {
    const auto expected = static_cast<std::uint8_t>(i % 255 + 1);
    ASSERT_EQ(out[i].bytes[1], expected) << "message " << i;
    ASSERT_EQ(out[i].bytes[2], static_cast<std::uint8_t>(~expected)) << "message " << i;
  }
}

TEST_F(UsbtmcBackend, OneFrameOf240BytesCostsOneUrb) {
  StartWithMeters("mode=update");
  const ViSession session = Open();
  {
    const auto lock = bus.Lock();
    MeterDevice().ClearWire();
  }
  const Bytes frame(240, 0x5A);
  ViUInt32 sent = 0;
  ASSERT_EQ(visa->viWrite(session, frame.data(), 240, &sent), VI_SUCCESS);
  EXPECT_EQ(sent, 240u);
  const auto lock = bus.Lock();
  ASSERT_EQ(MeterDevice().wire().size(), 1u);
  const WireEvent& urb = MeterDevice().wire()[0];
  EXPECT_EQ(urb.kind, Kind::BulkOut);
  EXPECT_EQ(urb.urbLength, 252u);  // 12-byte header + 240, already a multiple of 4
  RecordProperty("urbs_per_240_byte_frame", 1);
}

// ---------------------------------------------------------- reply reassembly

TEST_F(UsbtmcBackend, ReplySplitAcrossTransfersAndMessagesIsReassembled) {
  struct Split {
    const char* name;
    std::size_t bytesPerTransfer;
    std::size_t payloadPerMessage;
    bool alignmentApart;
  };
  for (const Split& split :
       {Split{"short transfers", 5, 0, false}, Split{"several messages", 0, 7, false},
        Split{"both", 3, 10, false}, Split{"alignment bytes apart", 0, 0, true},
        Split{"alignment bytes apart between messages", 0, 7, true},
        Split{"alignment bytes apart after short transfers", 3, 0, true}}) {
    SCOPED_TRACE(split.name);
    visa.reset();
    rack.reset();
    StartWithMeters();
    const ViSession session = Open();
    {
      const auto lock = bus.Lock();
      MeterDevice().faults.bytesPerTransfer = split.bytesPerTransfer;
      MeterDevice().faults.payloadPerMessage = split.payloadPerMessage;
      MeterDevice().faults.alignmentApart = split.alignmentApart;
    }
    // The serial's reply (21 bytes) needs alignment, the identity's (44) does
    // not: each reply is read after one that may have left bytes behind.
    for (int round = 0; round < 2; ++round) {
      EXPECT_EQ(Query(session, "*idn?\n"), "NAVIR,Q1000,SN000123,01.20.05.12");
      EXPECT_EQ(Query(session, "cal:sec:serial?\n"), "SN000123\n");
    }
  }
}

TEST_F(UsbtmcBackend, LargeReplyCrossesUrbBoundariesWithEveryCapabilitySet) {
  const std::uint32_t capabilitySets[] = {0, 0x02 /* bulk continuation */,
                                          0x08 /* scatter-gather */};
  Bytes large(20000);
  for (std::size_t i = 0; i < large.size(); ++i)
    large[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
  for (const std::uint32_t capabilities : capabilitySets) {
    SCOPED_TRACE(capabilities);
    visa.reset();
    rack.reset();
    StartWithMeters("absent=1");
    DeviceIdentity identity;
    identity.capabilities = capabilities;
    auto function = std::make_shared<ScriptedFunction>();
    function->replies.push_back(large);
    EmulatedDevice& device = bus.Plug(identity, function);
    StartBackend();
    const ViSession session = Open();

    std::vector<ViByte> buffer(large.size());
    ViUInt32 count = 0;
    EXPECT_EQ(visa->viRead(session, buffer.data(), static_cast<ViUInt32>(buffer.size()), &count),
              VI_SUCCESS);
    EXPECT_EQ(count, large.size());
    EXPECT_EQ(buffer, large);
    visa.reset();
    bus.Unplug(device);
  }
}

TEST_F(UsbtmcBackend, ReplyLongerThanTheReadKeepsTheRestForTheNextRead) {
  StartWithMeters();
  const ViSession session = Open();
  ASSERT_EQ(Write(session, "*idn?\n"), VI_SUCCESS);
  ViStatus status = VI_SUCCESS;
  EXPECT_EQ(Read(session, 10, &status), "NAVIR,Q100");
  EXPECT_EQ(status, VI_SUCCESS_MAX_CNT);
  EXPECT_EQ(Read(session, 240, &status), "0,SN000123,01.20.05.12");
  EXPECT_EQ(status, VI_SUCCESS);
}

// ------------------------------------------------------------ bad replies

struct BadReply {
  const char* name;
  DeviceFaults faults;
};

TEST_F(UsbtmcBackend, BadReplyHeadersAreIoErrorsAndNeverOverrunTheBuffer) {
  std::vector<BadReply> cases(3);
  cases[0] = {"wrong bTag", {}};
  cases[0].faults.tagShift = 1;
  cases[1] = {"wrong MsgID", {}};
  cases[1].faults.msgId = 0x7F;
  cases[2] = {"TransferSize beyond the request", {}};
  cases[2].faults.claimedSize = 4000;
  for (BadReply& bad : cases) {
    SCOPED_TRACE(bad.name);
    visa.reset();
    rack.reset();
    StartWithMeters();
    const ViSession session = Open();
    bad.faults.affectedReplies = 1;
    {
      const auto lock = bus.Lock();
      MeterDevice().faults = bad.faults;
    }
    ASSERT_EQ(Write(session, "*idn?\n"), VI_SUCCESS);
    // 240 bytes asked for; a guard zone behind them must stay untouched.
    std::array<ViByte, 240 + 64> buffer;
    buffer.fill(0xC5);
    ViUInt32 count = 99;
    EXPECT_EQ(visa->viRead(session, buffer.data(), 240, &count), VI_ERROR_IO);
    EXPECT_EQ(count, 0u);
    for (std::size_t i = 240; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], 0xC5) << i;
    // The pipe stays usable.
    EXPECT_EQ(Query(session, "*idn?\n"), "NAVIR,Q1000,SN000123,01.20.05.12");
  }
}

TEST_F(UsbtmcBackend, StalledBulkInIsAnIoErrorAndIsClearedForTheNextQuery) {
  StartWithMeters();
  const ViSession session = Open(kMeterName, 5000);
  {
    const auto lock = bus.Lock();
    MeterDevice().faults.stallReplies = true;
    MeterDevice().faults.affectedReplies = 1;
  }
  ASSERT_EQ(Write(session, "*idn?\n"), VI_SUCCESS);
  const auto start = steady_clock::now();
  ViStatus status = VI_SUCCESS;
  EXPECT_EQ(Read(session, 240, &status), "");
  EXPECT_EQ(status, VI_ERROR_IO);
  EXPECT_LT(steady_clock::now() - start, std::chrono::milliseconds(1000));
  const auto halts = Wire(MeterDevice(), Kind::ClearHalt);
  ASSERT_EQ(halts.size(), 1u);
  EXPECT_EQ(halts[0].endpoint, kBulkIn);
  EXPECT_EQ(Query(session, "*idn?\n"), "NAVIR,Q1000,SN000123,01.20.05.12");
}

// ------------------------------------------------------ time-outs and clear

TEST_F(UsbtmcBackend, TimeOutAbortsTheReadAndLeavesThePipeUsable) {
  StartWithMeters();
  const ViSession session = Open(kMeterName, 200);
  ASSERT_EQ(Write(session, "L0\n"), VI_SUCCESS);  // a command: nothing to read
  const auto start = steady_clock::now();
  ViStatus status = VI_SUCCESS;
  EXPECT_EQ(Read(session, 240, &status), "");
  const auto took = steady_clock::now() - start;
  EXPECT_EQ(status, VI_ERROR_TMO);
  EXPECT_GE(took, std::chrono::milliseconds(190));
  EXPECT_LT(took, std::chrono::milliseconds(1200));

  // The abort named the request that timed out.
  const auto controls = ClassRequests(MeterDevice());
  ASSERT_FALSE(controls.empty());
  EXPECT_EQ(controls[0].bytes[0], 0xA2);  // class request to an endpoint, device-to-host
  EXPECT_EQ(controls[0].bytes[1], 3);     // INITIATE_ABORT_BULK_IN
  EXPECT_EQ(controls[0].bytes[2], Wire(MeterDevice(), Kind::BulkOut).back().bytes[1]);
  EXPECT_EQ(controls[0].bytes[4], kBulkIn);

  EXPECT_EQ(Query(session, "*idn?\n"), "NAVIR,Q1000,SN000123,01.20.05.12");
}

TEST_F(UsbtmcBackend, WriteTimeOutAbortsTheBulkOutTransferAndClearsTheHalt) {
  StartWithMeters();
  const ViSession session = Open(kMeterName, 200);
  {
    const auto lock = bus.Lock();
    MeterDevice().faults.refuseOut = true;
  }
  ViUInt32 sent = 99;
  EXPECT_EQ(Write(session, "*idn?\n", &sent), VI_ERROR_TMO);
  EXPECT_EQ(sent, 0u);
  const auto controls = ClassRequests(MeterDevice());
  ASSERT_FALSE(controls.empty());
  EXPECT_EQ(controls[0].bytes[1], 1);  // INITIATE_ABORT_BULK_OUT ...
  EXPECT_EQ(controls[0].bytes[2], Wire(MeterDevice(), Kind::BulkOut).back().bytes[1]);  // ... of it
  EXPECT_EQ(controls[0].bytes[4], kBulkOut);
  const auto halts = Wire(MeterDevice(), Kind::ClearHalt);
  ASSERT_EQ(halts.size(), 1u);
  EXPECT_EQ(halts[0].endpoint, kBulkOut);
  {
    const auto lock = bus.Lock();
    MeterDevice().faults.refuseOut = false;
  }
  EXPECT_EQ(Query(session, "*idn?\n"), "NAVIR,Q1000,SN000123,01.20.05.12");
}

TEST_F(UsbtmcBackend, AbortThatNeverCompletesCostsABoundedCleanUp) {
  StartWithMeters();
  const ViSession session = Open(kMeterName, 200);
  {
    const auto lock = bus.Lock();
    MeterDevice().faults.abortNeverCompletes = true;
    MeterDevice().faults.delay = Millis{60000};  // the reply is queued but never ready
  }
  ASSERT_EQ(Write(session, "*idn?\n"), VI_SUCCESS);
  const auto start = steady_clock::now();
  ViStatus status = VI_SUCCESS;
  EXPECT_EQ(Read(session, 240, &status), "");
  EXPECT_EQ(status, VI_ERROR_TMO);
  // The time-out plus at most a second of housekeeping.
  EXPECT_LT(steady_clock::now() - start, std::chrono::milliseconds(1200 + 300));
}

TEST_F(UsbtmcBackend, LateReplyIsDiscardedAndNeverTakenForTheNextAnswer) {
  StartWithMeters();
  const ViSession session = Open(kMeterName, 150);
  {
    const auto lock = bus.Lock();
    MeterDevice().faults.delay = Millis{400};
    MeterDevice().faults.affectedReplies = 1;
  }
  ASSERT_EQ(Write(session, "cal:sec:serial?\n"), VI_SUCCESS);
  ViStatus status = VI_SUCCESS;
  EXPECT_EQ(Read(session, 240, &status), "");
  EXPECT_EQ(status, VI_ERROR_TMO);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the late reply is due now
  EXPECT_EQ(Query(session, "*idn?\n"), "NAVIR,Q1000,SN000123,01.20.05.12");
}

TEST_F(UsbtmcBackend, SilentMeterCostsOneTimeOutPerRead) {
  StartWithMeters("silent=1");
  const ViSession session = Open(kMeterName, 150);
  ASSERT_EQ(Write(session, "*idn?\n"), VI_SUCCESS);
  for (int i = 0; i < 2; ++i) {
    const auto start = steady_clock::now();
    ViStatus status = VI_SUCCESS;
    EXPECT_EQ(Read(session, 240, &status), "");
    EXPECT_EQ(status, VI_ERROR_TMO);
    EXPECT_LT(steady_clock::now() - start, std::chrono::milliseconds(1000));
  }
}

TEST_F(UsbtmcBackend, ClearRunsTheClearSequenceAndDropsThePendingReply) {
  StartWithMeters();
  const ViSession session = Open(kMeterName, 200);
  ASSERT_EQ(Write(session, "*idn?\n"), VI_SUCCESS);
  EXPECT_EQ(visa->viClear(session), VI_SUCCESS);

  const auto controls = ClassRequests(MeterDevice());
  ASSERT_EQ(controls.size(), 3u);
  EXPECT_EQ(controls[0].bytes[0], 0xA1);  // class request to the interface
  EXPECT_EQ(controls[0].bytes[1], 5);     // INITIATE_CLEAR
  EXPECT_EQ(controls[1].bytes[1], 6);     // CHECK_CLEAR_STATUS: pending ...
  EXPECT_EQ(controls[2].bytes[1], 6);     // ... then done
  const auto halts = Wire(MeterDevice(), Kind::ClearHalt);
  ASSERT_EQ(halts.size(), 1u);
  EXPECT_EQ(halts[0].endpoint, kBulkOut);

  ViStatus status = VI_SUCCESS;
  EXPECT_EQ(Read(session, 240, &status), "");
  EXPECT_EQ(status, VI_ERROR_TMO);
  EXPECT_EQ(Query(session, "*idn?\n"), "NAVIR,Q1000,SN000123,01.20.05.12");
}

TEST_F(UsbtmcBackend, ClearThatNeverCompletesIsBounded) {
  StartWithMeters();
  const ViSession session = Open(kMeterName, 5000);
  {
    const auto lock = bus.Lock();
    MeterDevice().faults.clearPendingPolls = 1000;
  }
  const auto start = steady_clock::now();
  EXPECT_EQ(visa->viClear(session), VI_ERROR_TMO);
  EXPECT_LT(steady_clock::now() - start, std::chrono::milliseconds(3000));
}

// ------------------------------------------------- leaving and rejoining the bus

TEST_F(UsbtmcBackend, UnplugDuringAReadEndsItAtOnceWithConnectionLost) {
  StartWithMeters();
  const ViSession session = Open(kMeterName, 10000);
  ASSERT_EQ(Write(session, "L0\n"), VI_SUCCESS);
  std::thread unplugger([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    bus.Unplug(MeterDevice());
  });
  const auto start = steady_clock::now();
  ViUInt32 count = 99;
  std::array<ViByte, 240> buffer{};
  EXPECT_EQ(visa->viRead(session, buffer.data(), 240, &count), VI_ERROR_CONN_LOST);
  EXPECT_EQ(count, 0u);
  EXPECT_LT(steady_clock::now() - start, std::chrono::milliseconds(2000));
  unplugger.join();

  // Every later operation fails at once.
  const auto after = steady_clock::now();
  count = 99;
  EXPECT_EQ(visa->viWrite(session, buffer.data(), 3, &count), VI_ERROR_CONN_LOST);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(visa->viRead(session, buffer.data(), 240, &count), VI_ERROR_CONN_LOST);
  EXPECT_EQ(visa->viClear(session), VI_ERROR_CONN_LOST);
  EXPECT_LT(steady_clock::now() - after, std::chrono::milliseconds(500));
  EXPECT_EQ(visa->viClose(session), VI_SUCCESS);
}

TEST_F(UsbtmcBackend, MeterReenumeratesInUpdateModeAfterTheSwitchCommand) {
  StartWithMeters("reenumerate_ms=300");
  const ViSession old = Open();
  const int oldAddress = MeterDevice().deviceNumber();
  ViUInt32 sent = 0;
  ASSERT_EQ(Write(old, "system:update\n", &sent), VI_SUCCESS);
  EXPECT_EQ(sent, 14u);
  // Off the bus at once: the old session is dead.
  EXPECT_EQ(Write(old, "*IDN?\n", &sent), VI_ERROR_CONN_LOST);
  EXPECT_EQ(sent, 0u);
  rack->Sync();
  ViStatus status = VI_SUCCESS;
  EXPECT_TRUE(FindAll("USB0::0x1D7C::0x4A35::?*INSTR", &status).empty());
  EXPECT_EQ(status, VI_ERROR_RSRC_NFOUND);

  std::this_thread::sleep_for(std::chrono::milliseconds(350));
  rack->Sync();
  EXPECT_EQ(FindAll("USB0::0x1D7C::0x4A35::?*INSTR"), std::vector<std::string>{kMeterName});
  EXPECT_NE(MeterDevice().deviceNumber(), oldAddress);
  const ViSession fresh = Open();
  EXPECT_EQ(Query(fresh, "*IDN?\n"), "NAVIR,Q1000 BOOT,SN000123,WDL00.00.00");
  // The old session stays dead although the meter is back.
  EXPECT_EQ(Write(old, "*IDN?\n"), VI_ERROR_CONN_LOST);
}

// ------------------------------------------------------------ formatted I/O

TEST_F(UsbtmcBackend, PrintfAndScanfWorkThroughWriteAndRead) {
  StartWithMeters();
  const ViSession session = Open();
  ASSERT_EQ(visa->viPrintf(session, "*idn?\n"), VI_SUCCESS);
  std::array<ViChar, 64> reply{};
  ASSERT_TRUE(ViSucceeded(visa->viScanf(session, "%t", reply.data(), reply.size())));
  EXPECT_STREQ(reply.data(), "NAVIR,Q1000,SN000123,01.20.05.12");
}

}  // namespace
}  // namespace quorvel::testing
