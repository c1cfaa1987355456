#pragma once
// The simulated meter: bytes in, bytes out, and its presence on the bus over
// time. It knows nothing of VISA; a door (the sim VISA backend, an emulated
// USB device) carries the host's messages to it and its answers back.
//
// Time comes only from the Clock. The model never sleeps: it works out the
// transitions that fell due (re-enumeration, the reboot after an installed
// image) lazily whenever it is asked something, stamped with the time they
// were due. A read returns how long it took (`waited`); the door lets that
// time pass before handing the answer to the host.
//
// Presence: each departure from the bus starts a new generation. A door keeps
// the generation its connection was made in; once it differs, or the meter is
// off the bus, that connection is dead for good, even after the meter returns.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/clock.h"
#include "sim/sim_config.h"
#include "sim/timeline.h"

namespace quorvel {

enum class SimMode { Normal, Update, OffBus };

struct WriteResult {
  bool delivered = false;  // false: the meter is off the bus, nothing was taken
  std::size_t taken = 0;   // bytes the meter took; fewer than offered for a partial frame
};

enum class ReadOutcome {
  Answered,  // `bytes` holds the answer, which may be empty (an empty reply)
  TimedOut,  // nothing to answer within the patience given
  OffBus,    // the meter is not on the bus
};

struct ReadResult {
  ReadOutcome outcome = ReadOutcome::TimedOut;
  std::vector<std::uint8_t> bytes{};
  bool more = false;  // part of the reply is kept for the next read
  Millis waited{0};   // how long the read took: the reply's lateness or the patience
};

class SimMeter {
 public:
  // The meter `index` (0-based) of a simulation: the config's knobs with its
  // own (knob@N) applied, and its serial counted up from the config's.
  SimMeter(const SimConfig& config, std::size_t index, Clock& clock);

  // --- The door's side ---
  bool IsPresent();
  std::uint64_t generation();
  // One host message (one USBTMC transfer), as sent.
  WriteResult Receive(std::span<const std::uint8_t> message);
  // A read of at most `maxBytes`. `patience` is the host's time-out: a reply
  // later than that, or none at all, gives TimedOut after `patience`.
  ReadResult Reply(std::size_t maxBytes, Millis patience);
  // Device clear: pending replies are dropped.
  void Clear();
  // A connection was opened or closed (recorded; counts as activity).
  void NoteOpened();
  void NoteClosed();

  // --- The test's side ---
  SimMode mode();
  std::string serial() const { return serial_; }
  std::string resourceName() const;
  // Everything the meter saw, transitions due by now included. On a const
  // meter: the record as of its last activity.
  const std::vector<TimelineEvent>& timeline();
  const std::vector<TimelineEvent>& timeline() const { return timeline_; }
  const std::vector<InstalledImage>& installedImages() const { return installed_; }
  // The operator switches the meter off and on: normal mode, nothing
  // pending; a meter unplugged by `unplug_after` stays unplugged.
  void PowerCycle();
  // The cable is pulled now: the meter leaves the bus, or stays away if it is
  // away, for good (a power cycle does not bring it back).
  void PullPlug();

 private:
  enum class ImagePhase {
    Idle,         // no image under way: a read has nothing to answer
    Receiving,    // frames (or a stray end frame) arrived: a read gives the first verdict
    AwaitingEnd,  // the first verdict was '0': the end frame is due
    EndReceived,  // a read gives the second verdict and installs the image
  };
  struct Image {
    std::vector<std::uint8_t> bytes{};
    bool frameError = false;
    std::optional<Millis> lastFrameTime;
  };

  struct Answer {
    std::vector<std::uint8_t> bytes{};
    std::optional<bool> concludesImage{};  // true: installs it, false: rejects it
  };

  void CatchUp();
  bool RebootDue(Millis now) const;
  void LeaveBus(Millis when, std::optional<Millis> returnAfter, bool nextModeUpdate);
  void ReturnToBus(Millis when);
  void Record(TimelineEvent event);

  void ReceiveNormal(std::span<const std::uint8_t> message);
  WriteResult ReceiveUpdate(std::span<const std::uint8_t> message);
  WriteResult TakeDataFrame(std::span<const std::uint8_t> message);
  bool HandleCommand(std::span<const std::uint8_t> message);
  void QueueReply(std::string text);

  bool HasSomethingToSay() const;
  Answer ProduceAnswer();
  std::vector<std::uint8_t> StatusBytes(const ForcedStatus& status) const;
  std::uint8_t JudgeImage() const;
  void ConcludeImage(Millis when, bool installed, std::uint8_t statusCharacter);
  void ResetImage();

  // After a reboot: the versions of the images installed since the last one.
  void AdoptInstalledVersions();
  std::string NormalIdentity() const;
  std::string UpdateIdentity() const;

  const SimConfig config_;
  Clock& clock_;
  std::string serial_;

  bool present_ = true;
  bool unplugged_ = false;
  bool updateMode_ = false;
  std::uint64_t generation_ = 1;
  std::optional<Millis> returnAt_;
  bool returnInUpdateMode_ = false;
  Millis lastTouch_{0};

  std::optional<std::vector<std::uint8_t>> pendingReply_;
  Millis replyDelay_{0};  // on top of `slow`, for the reply pending now
  ImagePhase phase_ = ImagePhase::Idle;
  Image image_;
  bool lastImageInstalled_ = false;  // arms the reboot while idle
  std::size_t framesReceived_ = 0;

  std::vector<TimelineEvent> timeline_;
  std::vector<InstalledImage> installed_;
  std::size_t adoptedImages_ = 0;            // installed_ already looked at by a reboot
  std::optional<std::string> adoptedTail_;   // the version tail after adopting
};

}  // namespace quorvel
