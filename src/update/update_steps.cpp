#include "update/update_steps.h"

#include <algorithm>
#include <array>

#include "common/stoppable_wait.h"
#include "firmware/package.h"
#include "firmware/package_check.h"
#include "instrument/wire_format.h"
#include "update/transfer_failures.h"

namespace quorvel {

namespace {

constexpr Millis kAfterModeSwitch{5000};  // the meter restarts in update mode meanwhile
// A package's reply to its end frame is read into a smaller buffer.
constexpr ViUInt32 kPackageEndReplySize = 64;

bool Pause(Services& services, Millis duration) {
  return WaitUnlessStopped(services.clock, services.console, duration);
}

// The window is pumped after every kFrameGap while the meter works; the last
// gap is a plain wait.
bool PauseInSlices(Services& services, Millis duration) {
  for (Millis left = duration; left > kFrameGap; left -= kFrameGap) {
    WaitPumping(services.clock, services.console, kFrameGap);
    services.console.PumpMessages();
    if (services.console.StopRequested()) return false;
  }
  return Pause(services, std::min(duration, kFrameGap));
}

// The meter flushes on this marker after a last frame of these lengths.
bool NeedsFlushFrame(std::size_t lastFrame) {
  return lastFrame == 52 || lastFrame == 116 || lastFrame == 180;
}

// One status reply into the session's reply buffer; what it delivered.
std::span<const std::uint8_t> ReadReply(Services& services, InstrumentSession& session,
                                        ViUInt32 size) {
  session.replyBuffer[0] = 0;
  const auto buffer = std::span(session.replyBuffer).first(size);
  const Transfer read = ReadFromMeter(services, session, buffer);
  session.count = read.count;
  session.ioStatus = read.status;
  const std::size_t delivered = std::min<std::size_t>(read.count, size);
  const std::span<const std::uint8_t> reply(buffer.data(), delivered);
  const auto* text = reinterpret_cast<const char*>(reply.data());
  session.lastReply.assign(text, std::find(text, text + reply.size(), '\0'));
  return reply;
}

}  // namespace

Identification Identify(Services& services, InstrumentSession& session, bool waitAfterL0) {
  Identification result;
  result.identity = ReadIdentity(services, session, waitAfterL0);
  if (!IsUsableIdentity(result.identity)) {
    result.refusal = UpdateOutcome::kNoMeter;
  } else if (IsWrongMode(result.identity.versions)) {
    result.refusal = UpdateOutcome::kWrongMode;
  }
  return result;
}

ModeSwitch SwitchToUpdateMode(Services& services, InstrumentSession& session, ModeSwitchWait wait,
                              MeterWaitNotice& waiting) {
  ModeSwitch result;
  waiting.Show(MeterWait::kSwitching, kFrameGap * wait.passes);
  ExchangeCommand(services, session, "system:update\n");
  // A meter that took no byte of the command was not switched: one cut off
  // just before it is still in its normal mode.
  result.switched = session.count > 0;
  for (int pass = 0; pass < wait.passes && !result.stopped; ++pass) {
    WaitPumping(services.clock, services.console, kFrameGap);
    if (wait.pumpAfterEachPass) services.console.PumpMessages();
    result.stopped = services.console.StopRequested();
  }
  CloseSessions(session);
  return result;
}

Reconnection Reconnect(Services& services, InstrumentSession& session, Rediscovery way,
                       MeterWaitNotice& waiting) {
  Reconnection result;
  if (way == Rediscovery::kDialog) {
    waiting.Show(MeterWait::kRestarting, kAfterModeSwitch);
    if (!Pause(services, kAfterModeSwitch)) {
      result.stopped = true;
      return result;
    }
    waiting.Show(MeterWait::kReconnecting, 2 * kDiscoveryWait);
    DiscoverInstrument(services, session, result.found);
  } else {
    // The package's search waits for the restart itself.
    waiting.Show(MeterWait::kReconnecting, kPackageReconnectWait);
    result.found = ReconnectPackageSession(services, session);
  }
  result.notice = session.notice;
  result.stopped = services.console.StopRequested();
  return result;
}

TransferPacing SingleImagePacing() { return {}; }

TransferPacing PackageImagePacing(int index) {
  const bool first = index == 1;
  return {.beforeFrame = kFrameGap,
          .beforeLastFrame = first ? kFrameGap : kShortFrameGap,
          .afterLastFrame = first ? kFrameGap : Millis{0},
          .flushAfterShortLastFrame = true,
          .beforeStatus = first ? Millis{0} : kShortFrameGap,
          .pumpWhileMeterChecks = false,
          .beforeEndReply = kFrameGap,
          .endReplySize = kPackageEndReplySize};
}

ImageTransfer TransferImage(Services& services, const InstrumentSession& session,
                            std::span<const std::uint8_t> payload, const TransferPacing& pacing,
                            ProgressReport progress) {
  OperatorConsole& console = services.console;
  ImageTransfer result;
  progress.bytesTotal = payload.size();
  progress.bytesSent = 0;
  std::size_t lastFrame = 0;
  for (std::size_t sent = 0; sent < payload.size();) {
    const std::size_t size = std::min(kMaxDataFrame, payload.size() - sent);
    const bool last = sent + size == payload.size();
    WaitPumping(services.clock, console, last ? pacing.beforeLastFrame : pacing.beforeFrame);
    if (console.StopRequested()) {
      result.stopped = true;
      return result;
    }
    const DataFrame frame = payload.subspan(sent, size);
    if (const auto failure =
            FrameWriteFailure(console, WriteToMeter(services, session, frame), size, false)) {
      result.failure = *failure;
      return result;
    }
    sent += size;
    lastFrame = size;
    progress.bytesSent = sent;
    console.ReportProgress(progress);
  }

  if (!Pause(services, pacing.afterLastFrame)) {
    result.stopped = true;
    return result;
  }
  if (pacing.flushAfterShortLastFrame && NeedsFlushFrame(lastFrame)) {
    if (!Pause(services, kFrameGap)) {
      result.stopped = true;
      return result;
    }
    const Transfer write = WriteToMeter(services, session, kFlushFrame);
    if (const auto failure = FrameWriteFailure(console, write, kFlushFrame.size(), false)) {
      result.failure = *failure;
    }
  }
  return result;
}

Verdicts ExchangeVerdicts(Services& services, InstrumentSession& session,
                          const TransferPacing& pacing, FirstRefusalLines lines) {
  OperatorConsole& console = services.console;
  Verdicts result;
  const bool waited = pacing.pumpWhileMeterChecks ? PauseInSlices(services, pacing.beforeStatus)
                                                  : Pause(services, pacing.beforeStatus);
  if (!waited) {
    result.end = ImageEnd::kStopped;
    return result;
  }
  const std::span<const std::uint8_t> reply = ReadReply(services, session, kReplyReadSize);
  const ImageVerdict first{StatusCharacter(reply), ViSucceeded(session.ioStatus)};
  if (!first.accepted()) {
    if (lines == FirstRefusalLines::kLogged) LogFirstStatusRefused(console, first.character);
    result.end = ImageEnd::kRefused;
    // An empty reply is no status: the meter said nothing at all.
    result.failure = reply.empty() ? TransferStep::kStatusNotRead : TransferStep::kStatusRefused;
    if (!reply.empty()) result.meterStatus = first.character;
    return result;
  }

  if (!Pause(services, kFrameGap)) {
    result.end = ImageEnd::kStopped;
    return result;
  }
  const Transfer endWrite = WriteToMeter(services, session, kEndFrame);
  session.count = endWrite.count;
  if (const auto failure = FrameWriteFailure(console, endWrite, kEndFrame.size(), true)) {
    result.failure = *failure;
    return result;
  }

  const bool waitedForReply = pacing.pumpWhileMeterChecks
                                  ? PauseInSlices(services, pacing.beforeEndReply)
                                  : Pause(services, pacing.beforeEndReply);
  if (!waitedForReply) {
    result.end = ImageEnd::kStopped;
    return result;
  }
  const std::span<const std::uint8_t> endReply = ReadReply(services, session, pacing.endReplySize);
  if (endReply.empty()) {
    // Silence after a time-out is all a meter that installed the image and
    // stayed quiet ever gives; a meter that left the bus gave nothing at all.
    const bool silent = ViSucceeded(session.ioStatus) || session.ioStatus == VI_ERROR_TMO;
    result.end = silent ? ImageEnd::kUnconfirmed : ImageEnd::kFailed;
    result.failure = TransferStep::kEndStatusNotRead;
    return result;
  }
  const std::uint8_t second = StatusCharacter(endReply);
  if (second != kStatusAccepted || !ViSucceeded(session.ioStatus)) {
    LogSecondStatusRefused(console, second);
    result.end = ImageEnd::kRefused;
    result.failure = TransferStep::kEndStatusRefused;
    result.meterStatus = second;
    return result;
  }
  result.end = ImageEnd::kInstalled;
  return result;
}

void MeterWaitNotice::Show(MeterWait what, Millis left) {
  console_.ShowWaiting({what, left});
  shown_ = true;
}

void MeterWaitNotice::End() {
  if (!shown_) return;
  shown_ = false;
  console_.ShowWaiting({MeterWait::kNone, Millis{0}});
}

}  // namespace quorvel
