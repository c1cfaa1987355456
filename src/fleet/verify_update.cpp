#include "fleet/verify_update.h"

#include <memory>

#include "common/operator_console.h"
#include "firmware/file_source.h"
#include "firmware/package_check.h"
#include "firmware/version_slots.h"

namespace quorvel {

namespace {

constexpr const char* kVerified = "verified";
constexpr const char* kNotVerified = "not verified: still ";
constexpr const char* kDidNotComeBack = "did not come back";


std::optional<std::string>& SlotFor(ExpectedVersions& expected, std::uint8_t functionId) {
  switch (static_cast<TargetProcessor>(functionId)) {
    case TargetProcessor::kPanel: return expected.panel;
    case TargetProcessor::kMsp430: return expected.msp430;
    case TargetProcessor::kDsp: break;
  }
  return expected.dsp;
}

// Adds what one image header promises; false for a header naming no processor.
// Only the maker's header promises anything: bytes that merely decode as one
// (an image without a header reads as target 0, the DSP) promise nothing.
bool Expect(ExpectedVersions& expected, const ImageHeader& header) {
  const auto slot = VersionSlotOf(header.functionId());
  if (!slot || !header.signedByMaker()) return false;
  const std::array<char, 5> version = header.imageVersionBytes();
  SlotFor(expected, header.functionId()) = std::string(version.data(), slot->length);
  return true;
}

class Verifier {
 public:
  Verifier(Services& services, const ExpectedVersions& expected, Millis deadline)
      : services_(services), expected_(expected), deadline_(services.clock.Now() + deadline) {}

  VerifyResult Run() {
    AskForPowerCycle();
    // A meter that restarts between two searches is never seen away: still
    // on the bus at the deadline, its identity says whether it restarted.
    const bool cameBack = WaitForRestart() || (!services_.console.StopRequested() && MeterOnBus());
    if (!cameBack) return {.text = kDidNotComeBack};
    const std::optional<std::string> identity = ReadIdentity();
    if (!identity) return {.text = kDidNotComeBack};
    return JudgeIdentityAfter(*identity, expected_);
  }

 private:
  void AskForPowerCycle() {
    const auto seconds = (deadline_ - services_.clock.Now()).count() / 1000;
    services_.console.AppendLog("Waiting up to " + std::to_string(seconds) +
                                " s for the meter to come back in normal mode: recycle its "
                                "power now.");
  }

  // True when a search finds the meter.
  bool MeterOnBus() {
    InstrumentSession session;
    const VisaHandle manager = OpenResourceManager(services_.visa);
    if (manager.empty()) return false;
    ViUInt32 count = 0;
    ViFindList list = VI_NULL;  // closed with the manager
    const ViStatus found = services_.visa.viFindRsrc(manager.get(), kPackageSearchExpression,
                                                     &list, &count, session.descriptor.data());
    return ViSucceeded(found) && count > 0;
  }

  // The meter leaves the bus when it restarts and comes back afterwards. Only
  // a return after a departure counts: before it, the meter found is still the
  // one in update mode. Searching never touches the meter, so it cannot hold
  // off a restart that waits for the meter to be left alone.
  bool WaitForRestart() {
    bool departed = false;
    while (services_.clock.Now() < deadline_ && !services_.console.StopRequested()) {
      const bool present = MeterOnBus();
      if (!present) departed = true;
      if (present && departed) return true;
      services_.clock.Sleep(kComeBackPoll);
    }
    return false;
  }

  // The identity on a session of its own; nothing when the meter cannot be
  // opened or says it is still in update mode.
  std::optional<std::string> ReadIdentity() {
    InstrumentSession session;
    // Its wait gives the meter time to start.
    if (!ReconnectPackageSession(services_, session)) return std::nullopt;
    const std::string reply = ExchangeCommand(services_, session, "*idn?\n");
    CloseSessions(session);
    if (reply.empty() || IsWrongMode(VersionsFromIdentity(reply))) return std::nullopt;
    return reply;
  }

  Services& services_;
  const ExpectedVersions& expected_;
  Millis deadline_;
};

}  // namespace

namespace {

std::optional<ExpectedVersions> ExpectedVersionsOfFile(FirmwareFile& file, bool package) {
  ExpectedVersions expected;
  bool any = false;
  if (!package) {
    any = Expect(expected, ReadImageHeader(file, 0));
  } else {
    PackageLayout layout;
    if (!CheckPackageFile(file, &layout).ok()) return std::nullopt;
    for (const PackageEntry& entry : layout.entries) {
      any = Expect(expected, ReadImageHeader(file, entry.imageOffset)) || any;
    }
  }
  if (!any) return std::nullopt;
  return expected;
}

}  // namespace

std::optional<ExpectedVersions> ExpectedVersionsOf(FileSystem& files, const std::string& path) {
  std::unique_ptr<FirmwareFile> file = files.OpenForReading(path);
  if (!file) return std::nullopt;
  return ExpectedVersionsOfFile(*file, NamesPackage(path));
}

std::optional<ExpectedVersions> ExpectedVersionsOf(const LoadedFirmware& firmware) {
  return ExpectedVersionsOfFile(*firmware.Open(), NamesPackage(firmware.path));
}

VerifyResult JudgeIdentityAfter(const std::string& identity, const ExpectedVersions& expected) {
  VerifyResult result{.identityAfter = identity};
  // The versions are what the meter shows, not the line end some meters send after them.
  std::string_view shown = identity;
  while (shown.ends_with('\n') || shown.ends_with('\r')) shown.remove_suffix(1);
  const std::string tail = VersionsFromIdentity(shown).tail;
  const struct {
    std::uint8_t functionId;
    const std::optional<std::string>& version;
  } checks[] = {{0, expected.dsp}, {1, expected.panel}, {2, expected.msp430}};
  for (const auto& check : checks) {
    if (!check.version) continue;
    const VersionSlot slot = *VersionSlotOf(check.functionId);
    const std::string now =
        slot.position < tail.size() ? tail.substr(slot.position, slot.length) : std::string();
    if (now != *check.version) {
      result.verification = Verification::kNotVerified;
      result.text = kNotVerified + now;
      return result;
    }
  }
  result.verification = Verification::kVerified;
  result.text = kVerified;
  return result;
}

VerifyResult VerifyAfterRestart(Services& services, const ExpectedVersions& expected,
                                Millis deadline) {
  return Verifier(services, expected, deadline).Run();
}

}  // namespace quorvel
