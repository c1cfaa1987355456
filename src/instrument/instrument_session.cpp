#include "instrument/instrument_session.h"

#include <algorithm>
#include <cstring>

#include "common/clock.h"
#include "common/operator_console.h"
#include "common/stoppable_wait.h"

namespace quorvel {

namespace {

constexpr Millis kQueryReplyWait{500};
constexpr Millis kAfterLocalCommand{30};

// Opens every match of the search that just ran, in the library's order; the
// session kept is the last one opened, the others go with the resource
// manager. The dialog's discovery waits a second before each open. True when
// any match opened.
bool OpenEveryMatch(Services& services, InstrumentSession& session, bool waitBeforeEachOpen) {
  const ViUInt32 matches = session.count;
  for (ViUInt32 i = 0; i < matches; ++i) {
    if (waitBeforeEachOpen) WaitUnlessStopped(services.clock, services.console, kDiscoveryWait);
    session.descriptor.back() = '\0';  // whatever the library wrote, the name ends here
    OpenedSession opened =
        OpenSession(services.visa, session.resourceManager, session.descriptor.data());
    session.lastStatus = opened.status;
    if (!opened.session.empty()) {
      session.instrument.LeaveToItsManager();
      session.instrument = std::move(opened.session);
      session.resource = session.descriptorText();
      services.visa.viSetAttribute(session.instrument.get(), VI_ATTR_TMO_VALUE, kSessionTimeoutMs);
    }
    if (!session.findList.empty()) {
      services.visa.viFindNext(session.findList.get(), session.descriptor.data());
    }
  }
  return !session.instrument.empty();
}

// Opens a resource manager and searches it; session.count gets the number of
// matches. Whatever the session held before is closed first.
void Search(Services& services, InstrumentSession& session, const char* expression) {
  session.Close();
  session.notice.clear();
  session.count = 0;
  session.descriptor.fill('\0');
  session.resourceManager = OpenResourceManager(services.visa);
  if (session.resourceManager.empty()) {
    session.lastStatus = VI_ERROR_SYSTEM_ERROR;
    return;
  }
  ViFindList list = VI_NULL;
  session.lastStatus = services.visa.viFindRsrc(session.resourceManager.get(), expression, &list,
                                                &session.count, session.descriptor.data());
  // A failed search found nothing, whatever count it left behind.
  if (!ViSucceeded(session.lastStatus)) session.count = 0;
  if (ViSucceeded(session.lastStatus) && list != VI_NULL) {
    session.findList = VisaHandle(services.visa, list);
  }
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

InstrumentSession& InstrumentSession::operator=(InstrumentSession&& other) noexcept {
  if (this == &other) return *this;
  Close();
  resourceManager = std::move(other.resourceManager);
  findList = std::move(other.findList);
  instrument = std::move(other.instrument);
  lastStatus = other.lastStatus;
  count = other.count;
  ioStatus = other.ioStatus;
  descriptor = other.descriptor;
  resource = std::move(other.resource);
  commandBuffer = other.commandBuffer;
  replyBuffer = other.replyBuffer;
  lastReply = std::move(other.lastReply);
  notice = std::move(other.notice);
  return *this;
}

void InstrumentSession::Close() {
  if (!instrument.empty()) lastStatus = instrument.Close();
  resource.clear();
  findList.LeaveToItsManager();
  resourceManager.Close();
}

void DiscoverInstrument(Services& services, InstrumentSession& session, bool& readyForUpdate) {
  OperatorConsole& console = services.console;
  WaitUnlessStopped(services.clock, console, kDiscoveryWait);
  Search(services, session, kDialogSearchExpression);
  console.ClearLog();

  // A meter that is listed but will not open is no meter either.
  if (session.count == 0 ||
      !OpenEveryMatch(services, session, /*waitBeforeEachOpen=*/true)) {
    session.Close();  // a search that found nothing leaves nothing open behind it
    readyForUpdate = false;
    console.SetButtonCaption(ConsoleButton::kExit, "Exit");
    console.EnableButton(ConsoleButton::kSelect, false);
    std::string text = "USBTMC device not found.";
    if (const std::string hint = console.MeterAccessHint(); !hint.empty()) text += "\n\n" + hint;
    session.notice = text;
    console.ShowMessageBox({.text = std::move(text),
                            .caption = "Quorvel firmware",
                            .icon = MessageIcon::kWarning,
                            .buttons = MessageButtons::kOk,
                            .owner = MessageOwner::kDialog});
    return;
  }

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

bool ReconnectPackageSession(Services& services, InstrumentSession& session) {
  if (!WaitUnlessStopped(services.clock, services.console, kPackageReconnectWait)) {
    session.count = 0;
    return false;
  }
  Search(services, session, kPackageSearchExpression);
  if (session.count > 0 && OpenEveryMatch(services, session, /*waitBeforeEachOpen=*/false)) {
    return true;
  }
  session.Close();  // a search that found nothing leaves nothing open behind it
  session.count = 0;
  session.notice = "Meter not found.";
  services.console.ShowMessageBox({.text = session.notice,
                                   .caption = "Quorvel",
                                   .icon = MessageIcon::kWarning,
                                   .buttons = MessageButtons::kOk,
                                   .owner = MessageOwner::kNone});
  return false;
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

  const Transfer write = WriteToMeter(
      services, session,
      {reinterpret_cast<const ViByte*>(session.commandBuffer.data()), text.size()});
  session.count = write.count;
  session.ioStatus = write.status;
  if (!IsQuery(text)) return {};
  const bool written = write.Complete(text.size());

  WaitPumping(services.clock, services.console, kQueryReplyWait);
  const Transfer read =
      ReadFromMeter(services, session, std::span(session.replyBuffer).first(kReplyReadSize));
  session.count = read.count;
  session.ioStatus = read.status;
  // A query that never went out has no reply, whatever a read brings back.
  if (!written && ViSucceeded(session.ioStatus)) session.ioStatus = VI_ERROR_IO;
  return TextOfReply(session);
}

void CloseSessions(InstrumentSession& session) { session.Close(); }

Transfer WriteToMeter(Services& services, const InstrumentSession& session,
                      std::span<const ViByte> bytes) {
  Transfer transfer;
  if (session.instrument.empty()) return transfer;
  transfer.status = services.visa.viWrite(session.instrument.get(), bytes.data(),
                                          static_cast<ViUInt32>(bytes.size()), &transfer.count);
  return transfer;
}

Transfer ReadFromMeter(Services& services, const InstrumentSession& session,
                       std::span<ViByte> buffer) {
  Transfer transfer;
  if (session.instrument.empty()) return transfer;
  transfer.status = services.visa.viRead(session.instrument.get(), buffer.data(),
                                         static_cast<ViUInt32>(buffer.size()), &transfer.count);
  return transfer;
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
