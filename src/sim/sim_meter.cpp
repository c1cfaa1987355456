#include "sim/sim_meter.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <string_view>

#include "firmware/image_header.h"
#include "firmware/version_record.h"
#include "firmware/version_slots.h"
#include "instrument/wire_format.h"
#include "visa/resource_name.h"
#include "visa/text_case.h"

namespace quorvel {

namespace {

constexpr std::uint8_t kFrameError = '1';
constexpr std::uint8_t kChecksumError = '2';

bool SameBytes(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

std::string_view AsText(std::span<const std::uint8_t> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// Printable characters and line ends only; binary data is no query, whatever bytes it holds.
bool IsText(std::span<const std::uint8_t> message) {
  return std::all_of(message.begin(), message.end(), [](std::uint8_t byte) {
    return (byte >= 0x20 && byte < 0x7F) || byte == '\n' || byte == '\r' || byte == '\t';
  });
}

std::vector<std::uint8_t> AsBytes(std::string_view text) { return {text.begin(), text.end()}; }

// The SCPI text of a message: one trailing "\n" (and "\r" before it) dropped, lower case.
std::string CommandText(std::span<const std::uint8_t> message) {
  std::string_view text = AsText(message);
  if (text.ends_with('\n')) text.remove_suffix(1);
  if (text.ends_with('\r')) text.remove_suffix(1);
  return ToLowerAscii(text);
}

// The image carries the CRC-32 of what precedes it in its last four bytes, low byte first.
bool ChecksumMatches(const std::vector<std::uint8_t>& image) {
  if (image.size() < 4) return false;
  const std::size_t bodySize = image.size() - 4;
  const auto expected = static_cast<std::uint32_t>(crc32_z(0L, image.data(), bodySize));
  std::uint32_t stored = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    stored |= static_cast<std::uint32_t>(image[bodySize + i]) << (8 * i);
  }
  return stored == expected;
}

}  // namespace

SimMeter::SimMeter(const SimConfig& config, std::size_t index, Clock& clock)
    : config_(config.ForMeter(index)),
      clock_(clock),
      serial_(config.SerialOf(index)),
      updateMode_(config_.startInUpdateMode),
      lastTouch_(clock.Now()) {}

// --- Presence over time ---

bool SimMeter::RebootDue(Millis now) const {
  return present_ && updateMode_ && phase_ == ImagePhase::Idle && lastImageInstalled_ &&
         now >= lastTouch_ + config_.reboot;
}

void SimMeter::CatchUp() {
  const Millis now = clock_.Now();
  for (;;) {
    if (!present_ && returnAt_ && *returnAt_ <= now) {
      ReturnToBus(*returnAt_);
    } else if (RebootDue(now)) {
      // Stands for the operator's power cycle once the update is done.
      AdoptInstalledVersions();
      const auto returnAfter =
          config_.returnsAfterReboot ? std::optional(config_.reenumerate) : std::nullopt;
      LeaveBus(lastTouch_ + config_.reboot, returnAfter, /*nextModeUpdate=*/false);
    } else {
      return;
    }
  }
}

void SimMeter::LeaveBus(Millis when, std::optional<Millis> returnAfter, bool nextModeUpdate) {
  Record({.time = when, .kind = TimelineKind::LeftBus});
  present_ = false;
  ++generation_;
  returnAt_.reset();
  if (returnAfter) returnAt_ = when + *returnAfter;
  returnInUpdateMode_ = nextModeUpdate;
  pendingReply_.reset();
}

void SimMeter::ReturnToBus(Millis when) {
  present_ = true;
  returnAt_.reset();
  updateMode_ = returnInUpdateMode_;
  pendingReply_.reset();
  ResetImage();
  lastImageInstalled_ = false;
  lastTouch_ = when;
  Record({.time = when, .kind = TimelineKind::ReturnedToBus});
}

void SimMeter::Record(TimelineEvent event) {
  event.updateMode = updateMode_;
  timeline_.push_back(std::move(event));
}

bool SimMeter::IsPresent() {
  CatchUp();
  return present_;
}

std::uint64_t SimMeter::generation() {
  CatchUp();
  return generation_;
}

SimMode SimMeter::mode() {
  CatchUp();
  if (!present_) return SimMode::OffBus;
  return updateMode_ ? SimMode::Update : SimMode::Normal;
}

const std::vector<TimelineEvent>& SimMeter::timeline() {
  CatchUp();
  return timeline_;
}

std::string SimMeter::resourceName() const {
  return UsbResourceName{
      .vendorId = kMeterVendorId, .productId = kMeterProductId, .serial = serial_}
      .ToString();
}

void SimMeter::PullPlug() {
  CatchUp();
  unplugged_ = true;
  returnAt_.reset();
  if (present_) LeaveBus(clock_.Now(), std::nullopt, updateMode_);
}

void SimMeter::PowerCycle() {
  CatchUp();
  AdoptInstalledVersions();
  const Millis now = clock_.Now();
  if (present_) LeaveBus(now, std::nullopt, /*nextModeUpdate=*/false);
  returnAt_.reset();
  returnInUpdateMode_ = false;
  if (unplugged_) {
    updateMode_ = false;
    return;
  }
  ReturnToBus(now);
}

// --- Host messages ---

WriteResult SimMeter::Receive(std::span<const std::uint8_t> message) {
  CatchUp();
  if (!present_) return {};
  lastTouch_ = clock_.Now();
  if (updateMode_) return ReceiveUpdate(message);
  ReceiveNormal(message);
  return {.delivered = true, .taken = message.size()};
}

void SimMeter::ReceiveNormal(std::span<const std::uint8_t> message) {
  const Millis now = clock_.Now();
  Record({.time = now,
          .kind = TimelineKind::Write,
          .bytes = {message.begin(), message.end()},
          .offered = message.size(),
          .role = WriteRole::Text});
  const std::string command = CommandText(message);
  if (command == "*idn?") {
    QueueReply(NormalIdentity());
    replyDelay_ = config_.identitySlow;
  } else if (command == "cal:sec:serial?") {
    QueueReply(serial_ + "\n");
  } else if (command == "system:update") {
    const auto returnAfter =
        config_.returnsAfterSwitch ? std::optional(config_.reenumerate) : std::nullopt;
    LeaveBus(now, returnAfter, /*nextModeUpdate=*/true);
  } else if (IsText(message) && command.find('?') != std::string::npos) {
    QueueReply("\n");  // a query the meter does not know
  }
  // Anything else, "L0" and stray binary data included, is a command it ignores.
}

// In update mode only these exact "\n"-terminated texts are commands; every
// other write that is not the end frame or the flush marker is image data.
bool SimMeter::HandleCommand(std::span<const std::uint8_t> message) {
  if (message.empty() || message.back() != '\n') return false;
  const std::string command = CommandText(message);
  if (command == "*idn?") {
    QueueReply(UpdateIdentity());
    replyDelay_ = config_.identitySlow;
  } else if (command == "cal:sec:serial?") {
    QueueReply(serial_ + "\n");
  } else if (command != "l0" && command != "system:update") {
    return false;
  }
  return true;
}

WriteResult SimMeter::ReceiveUpdate(std::span<const std::uint8_t> message) {
  TimelineEvent event{.time = clock_.Now(),
                      .kind = TimelineKind::Write,
                      .bytes = {message.begin(), message.end()},
                      .offered = message.size()};
  const WriteResult whole{.delivered = true, .taken = message.size()};
  if (SameBytes(message, kEndFrame)) {
    event.role = WriteRole::EndFrame;
    Record(std::move(event));
    if (phase_ == ImagePhase::AwaitingEnd) {
      phase_ = ImagePhase::EndReceived;
    } else {
      // Out of order: the next read reports a frame error.
      image_.frameError = true;
      phase_ = ImagePhase::Receiving;
    }
    return whole;
  }
  if (SameBytes(message, kFlushFrame)) {
    event.role = WriteRole::FlushMarker;
    Record(std::move(event));
    return whole;
  }
  if (HandleCommand(message)) {
    event.role = WriteRole::Text;
    Record(std::move(event));
    return whole;
  }
  return TakeDataFrame(message);
}

WriteResult SimMeter::TakeDataFrame(std::span<const std::uint8_t> message) {
  const Millis now = clock_.Now();
  ++framesReceived_;
  const bool partial = config_.partialAt && *config_.partialAt == framesReceived_;
  const std::span<const std::uint8_t> taken =
      message.first(partial ? message.size() / 2 : message.size());

  // Data while the end frame is due breaks the exchange.
  if (phase_ == ImagePhase::AwaitingEnd || phase_ == ImagePhase::EndReceived) {
    image_.frameError = true;
  }
  phase_ = ImagePhase::Receiving;
  if (message.size() > kMaxDataFrame) image_.frameError = true;
  if (image_.lastFrameTime && now - *image_.lastFrameTime < config_.minGap) {
    image_.frameError = true;
  }
  image_.lastFrameTime = now;
  image_.bytes.insert(image_.bytes.end(), taken.begin(), taken.end());

  Record({.time = now,
          .kind = TimelineKind::Write,
          .bytes = {taken.begin(), taken.end()},
          .offered = message.size(),
          .role = WriteRole::DataFrame});
  if (config_.unplugAfter && framesReceived_ >= *config_.unplugAfter) {
    unplugged_ = true;
    LeaveBus(now, std::nullopt, updateMode_);
  }
  return {.delivered = true, .taken = taken.size()};
}

void SimMeter::QueueReply(std::string text) {
  // A new query replaces an answer nobody read, as an instrument's output queue does.
  pendingReply_ = AsBytes(text);
  replyDelay_ = Millis{0};
}

ReadResult SimMeter::Reply(std::size_t maxBytes, Millis patience) {
  CatchUp();
  if (!present_) return {.outcome = ReadOutcome::OffBus};
  const Millis now = clock_.Now();

  // A slow identity holds up only the reply to "*idn?".
  const Millis slow = config_.slow + (pendingReply_ ? replyDelay_ : Millis{0});
  if (config_.silent || !HasSomethingToSay() || slow > patience) {
    lastTouch_ = now + patience;
    Record({.time = now + patience, .kind = TimelineKind::ReadTimedOut, .offered = maxBytes});
    return {.outcome = ReadOutcome::TimedOut, .waited = patience};
  }

  const Millis answeredAt = now + slow;
  lastTouch_ = answeredAt;
  Answer answer = ProduceAnswer();
  ReadResult result{.outcome = ReadOutcome::Answered, .waited = slow};
  const std::size_t delivered = std::min(maxBytes, answer.bytes.size());
  result.bytes.assign(answer.bytes.begin(),
                      answer.bytes.begin() + static_cast<std::ptrdiff_t>(delivered));
  if (delivered < answer.bytes.size()) {
    pendingReply_.emplace(answer.bytes.begin() + static_cast<std::ptrdiff_t>(delivered),
                          answer.bytes.end());
    result.more = true;
  }
  Record(
      {.time = answeredAt, .kind = TimelineKind::Read, .bytes = result.bytes, .offered = maxBytes});
  if (answer.concludesImage) {
    const std::uint8_t statusCharacter = answer.bytes.empty() ? 0 : answer.bytes.back();
    ConcludeImage(answeredAt, *answer.concludesImage, statusCharacter);
  }
  return result;
}

bool SimMeter::HasSomethingToSay() const {
  if (pendingReply_) return true;
  return updateMode_ && (phase_ == ImagePhase::Receiving || phase_ == ImagePhase::EndReceived);
}

SimMeter::Answer SimMeter::ProduceAnswer() {
  if (pendingReply_) {
    Answer answer{.bytes = std::move(*pendingReply_)};
    pendingReply_.reset();
    return answer;
  }
  const bool firstVerdict = phase_ == ImagePhase::Receiving;
  const ForcedStatus status =
      firstVerdict ? config_.status1.value_or(ForcedStatus{.character = JudgeImage()})
                   : config_.status2.value_or(ForcedStatus{.character = kStatusAccepted});
  const bool accepted = !status.empty && status.character == kStatusAccepted;
  Answer answer{.bytes = StatusBytes(status)};
  // Installed or not, a meter silent after the end frame keeps its verdict to itself.
  if (!firstVerdict && config_.endReplySilent) answer.bytes.clear();
  if (firstVerdict && accepted) {
    phase_ = ImagePhase::AwaitingEnd;
  } else {
    answer.concludesImage = !firstVerdict && accepted;
  }
  return answer;
}

std::vector<std::uint8_t> SimMeter::StatusBytes(const ForcedStatus& status) const {
  if (status.empty) return {};
  if (config_.prefixAb) return {kStatusPrefix, status.character};
  return {status.character};
}

std::uint8_t SimMeter::JudgeImage() const {
  if (image_.bytes.empty() || image_.frameError) return kFrameError;
  if (config_.verifyChecksum && !ChecksumMatches(image_.bytes)) return kChecksumError;
  return kStatusAccepted;
}

void SimMeter::ConcludeImage(Millis when, bool installed, std::uint8_t statusCharacter) {
  if (installed) {
    installed_.push_back({.time = when, .bytes = image_.bytes});
    Record({.time = when, .kind = TimelineKind::ImageInstalled, .bytes = image_.bytes});
  } else {
    Record({.time = when, .kind = TimelineKind::ImageRejected, .statusCharacter = statusCharacter});
  }
  lastImageInstalled_ = installed;
  ResetImage();
}

void SimMeter::ResetImage() {
  image_ = Image{};
  phase_ = ImagePhase::Idle;
}

void SimMeter::Clear() {
  CatchUp();
  if (!present_) return;
  lastTouch_ = clock_.Now();
  pendingReply_.reset();
  Record({.time = clock_.Now(), .kind = TimelineKind::Cleared});
}

void SimMeter::NoteOpened() {
  CatchUp();
  if (!present_) return;
  lastTouch_ = clock_.Now();
  Record({.time = clock_.Now(), .kind = TimelineKind::Opened});
}

void SimMeter::NoteClosed() {
  CatchUp();
  if (!present_) return;
  lastTouch_ = clock_.Now();
  Record({.time = clock_.Now(), .kind = TimelineKind::Closed});
}

// --- Identity ---

void SimMeter::AdoptInstalledVersions() {
  const std::size_t fresh = installed_.size() - std::min(adoptedImages_, installed_.size());
  adoptedImages_ = installed_.size();
  if (!config_.adopt || fresh == 0) return;
  std::string identity = NormalIdentity();
  if (config_.newline && !identity.empty()) identity.pop_back();
  if (identity.size() < kVersionTailLength) return;
  std::string tail = identity.substr(identity.size() - kVersionTailLength);
  for (std::size_t i = installed_.size() - fresh; i < installed_.size(); ++i) {
    const auto named = VersionNamedByImage(installed_[i].bytes);
    if (!named) continue;  // the firmware says nothing of its version
    const VersionSlot slot = *VersionSlotOf(named->functionId);
    tail.replace(slot.position, slot.length, named->version.data(), slot.length);
  }
  adoptedTail_ = tail;
}

std::string SimMeter::NormalIdentity() const {
  std::string identity =
      config_.idn.value_or(std::string(kMakerSignature) + ",Q1000," + serial_ + ",01.20.05.12");
  if (const auto& tail = adoptedTail_ ? adoptedTail_ : config_.version) {
    identity.resize(identity.size() - std::min(identity.size(), kVersionTailLength));
    identity += *tail;
  }
  if (config_.newline) identity += '\n';
  return identity;
}

std::string SimMeter::UpdateIdentity() const {
  return std::string(kMakerSignature) + ",Q1000 BOOT," + serial_ + "," +
         std::string(kUpdateModeMarker) + "00.00.00";
}

}  // namespace quorvel
