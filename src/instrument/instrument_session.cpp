#include "instrument/instrument_session.h"

#include <algorithm>
#include <cstring>

#include "common/clock.h"
#include "common/operator_console.h"
#include "common/stoppable_wait.h"

namespace quorvel {

namespace {

constexpr Millis kDiscoveryWait{1000};
constexpr Millis kPackageReconnectWait{5000};
constexpr Millis kQueryReplyWait{500};
constexpr Millis kAfterLocalCommand{30};

// Opens every match of the search that just ran, in the library's order; the
// session kept is the last one opened. The dialog's discovery waits a second
// before each open.
void OpenEveryMatch(Services& services, InstrumentSession& session, bool waitBeforeEachOpen) {
  const ViUInt32 matches = session.count;
  for (ViUInt32 i = 0; i < matches; ++i) {
    if (waitBeforeEachOpen) WaitUnlessStopped(services.clock, services.console, kDiscoveryWait);
    session.descriptor.back() = '\0';  // whatever the library wrote, the name ends here
    session.lastStatus = services.visa.viOpen(session.resourceManager, session.descriptor.data(),
                                              VI_NULL, 0, &session.instrument);
    services.visa.viSetAttribute(session.instrument, VI_ATTR_TMO_VALUE, kSessionTimeoutMs);
    services.visa.viFindNext(session.findList, session.descriptor.data());
  }
}

// Opens a resource manager and searches it; session.count gets the number of matches.
void Search(Services& services, InstrumentSession& session, const char* expression) {
  services.visa.viOpenDefaultRM(&session.resourceManager);
  session.count = 0;
  session.descriptor.fill('\0');
  session.lastStatus = services.visa.viFindRsrc(session.resourceManager, expression,
                                                &session.findList, &session.count,
                                                session.descriptor.data());
}

// A search that found nothing leaves nothing open behind it.
void ReleaseEmptySearch(Services& services, InstrumentSession& session) {
  services.visa.viClose(session.resourceManager);
}

std::string TextOfReply(const InstrumentSession& session) {
  const std::size_t delivered = std::min<std::size_t>(session.count, kReplyReadSize);
  const auto* bytes = reinterpret_cast<const char*>(session.replyBuffer.data());
  // The reply is text: it ends at the first NUL the meter sent, if any.
  const auto* end = std::find(bytes, bytes + delivered, '\0');
  return std::string(bytes, end);
}

}  // namespace

std::string InstrumentSession::descriptorText() const {
  const auto end = std::find(descriptor.begin(), descriptor.end(), '\0');
  return std::string(descriptor.begin(), end);
}

void DiscoverInstrument(Services& services, InstrumentSession& session, bool& readyForUpdate) {
  OperatorConsole& console = services.console;
  WaitUnlessStopped(services.clock, console, kDiscoveryWait);
  Search(services, session, kDialogSearchExpression);
  console.ClearLog();

  if (session.count == 0) {
    ReleaseEmptySearch(services, session);
    readyForUpdate = false;
    console.SetButtonCaption(ConsoleButton::kExit, "Exit");
    console.EnableButton(ConsoleButton::kSelect, false);
    std::string text = "USBTMC device not found.";
    if (const std::string hint = console.MeterAccessHint(); !hint.empty()) text += "\n\n" + hint;
    console.ShowMessageBox({.text = std::move(text),
                            .caption = "Quorvel firmware",
                            .icon = MessageIcon::kWarning,
                            .buttons = MessageButtons::kOk,
                            .owner = MessageOwner::kDialog});
    return;
  }

  OpenEveryMatch(services, session, /*waitBeforeEachOpen=*/true);
  console.SetButtonCaption(ConsoleButton::kSelect, "Select");
  console.SetButtonCaption(ConsoleButton::kExit, "Exit");
  console.EnableButton(ConsoleButton::kSelect, true);
  LogReadyInstructions(console);
  readyForUpdate = true;
}

void LogReadyInstructions(OperatorConsole& console) {
  console.AppendLog("Click \"Select\" button and find the file you want to update.");
  console.AppendLog("\r\n  5407 for DSP firmware.");
  console.AppendLog("  1232 for 430 firmware.");
}

void ReconnectPackageSession(Services& services, InstrumentSession& session) {
  if (!WaitUnlessStopped(services.clock, services.console, kPackageReconnectWait)) {
    session.count = 0;
    return;
  }
  Search(services, session, kPackageSearchExpression);
  if (session.count == 0) {
    ReleaseEmptySearch(services, session);
    services.console.ShowMessageBox({.text = "Meter not found.",
                                     .caption = "Quorvel",
                                     .icon = MessageIcon::kWarning,
                                     .buttons = MessageButtons::kOk,
                                     .owner = MessageOwner::kNone});
    return;
  }
  OpenEveryMatch(services, session, /*waitBeforeEachOpen=*/false);
}

bool IsQuery(std::string_view command) {
  return command.find('?', 1) != std::string_view::npos ||
         command.find("TRIG") != std::string_view::npos;
}

std::string ExchangeCommand(Services& services, InstrumentSession& session,
                            std::string_view command) {
  std::string text(command);
  if (text.find('\n') == std::string::npos) text += '\n';

  session.replyBuffer[0] = 0;
  if (text.size() >= session.commandBuffer.size()) {
    // Never truncate a command: a cut command could mean something else to the meter.
    session.count = 0;
    session.lastStatus = VI_ERROR_INV_PARAMETER;
    session.ioStatus = VI_ERROR_INV_PARAMETER;
    return {};
  }
  std::copy(text.begin(), text.end(), session.commandBuffer.begin());
  session.commandBuffer[text.size()] = '\0';

  session.count = 0;
  session.ioStatus = services.visa.viWrite(
      session.instrument, reinterpret_cast<const ViByte*>(session.commandBuffer.data()),
      static_cast<ViUInt32>(text.size()), &session.count);
  if (!IsQuery(text)) return {};
  const bool written = ViSucceeded(session.ioStatus) && session.count == text.size();

  WaitPumping(services.clock, services.console, kQueryReplyWait);
  session.count = 0;
  session.ioStatus = services.visa.viRead(session.instrument, session.replyBuffer.data(),
                                          kReplyReadSize, &session.count);
  // A query that never went out has no reply, whatever a read brings back.
  if (!written && ViSucceeded(session.ioStatus)) session.ioStatus = VI_ERROR_IO;
  return TextOfReply(session);
}

void CloseSessions(Services& services, InstrumentSession& session, bool clearAfterwards) {
  session.lastStatus = services.visa.viClose(session.instrument);
  services.visa.viClose(session.resourceManager);
  if (clearAfterwards) services.visa.viClear(session.instrument);
}

MeterIdentity ReadIdentity(Services& services, InstrumentSession& session, bool waitAfterL0) {
  session.lastReply.clear();
  ExchangeCommand(services, session, "L0\n");
  if (waitAfterL0) WaitPumping(services.clock, services.console, kAfterLocalCommand);
  MeterIdentity identity;
  identity.reply = ExchangeCommand(services, session, "*idn?\n");
  identity.answered = ViSucceeded(session.ioStatus) && session.count > 0;
  identity.versions = VersionsFromIdentity(identity.reply);
  session.lastReply = identity.versions.tail;
  return identity;
}

MeterVersions IdentifyInstrument(Services& services, InstrumentSession& session,
                                 bool waitAfterL0) {
  return ReadIdentity(services, session, waitAfterL0).versions;
}

std::string ReadSerial(Services& services, InstrumentSession& session) {
  session.lastReply = ExchangeCommand(services, session, "cal:sec:serial?\n");
  return session.lastReply;
}

}  // namespace quorvel
