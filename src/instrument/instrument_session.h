#pragma once
// One connection to the meter, how it is found and opened, and the one way
// commands and queries are exchanged with it.
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "common/clock.h"
#include "firmware/image_header.h"
#include "instrument/identity.h"
#include "visa/visa_handle.h"
#include "visa/visa_library.h"

namespace quorvel {

class Clock;
class FileSystem;
class OperatorConsole;

// The seams every procedure works through.
struct Services {
  VisaLibrary& visa;
  OperatorConsole& console;
  Clock& clock;
  FileSystem& files;
};

inline constexpr std::size_t kCommandBufferSize = 1024;
inline constexpr std::size_t kReplyBufferSize = 1024;
inline constexpr ViUInt32 kReplyReadSize = 240;     // every read asks for at most this much
inline constexpr ViUInt32 kSessionTimeoutMs = 20000;

// Resource search expressions: USB vendor 0x1D7C, product 0x4A35, any serial.
inline constexpr const char* kDialogSearchExpression = "USB0::0x1D7C::0x4A35::?*INSTR";
inline constexpr const char* kPackageSearchExpression = "USB[0-9]::0x1D7C::0x4A35::?*INSTR";

// The dialog's discovery waits this long before its search and again before
// opening each match; the package's search waits kPackageReconnectWait first.
inline constexpr Millis kDiscoveryWait{1000};
inline constexpr Millis kPackageReconnectWait{5000};

struct InstrumentSession {
  VisaHandle resourceManager;
  VisaHandle findList;
  VisaHandle instrument;  // the last one opened; earlier ones go with the resource manager
  ViStatus lastStatus = VI_SUCCESS;
  // Number of matches from the search; every later viWrite and viRead stores
  // its transfer count here too.
  ViUInt32 count = 0;
  // Status of the latest viWrite or viRead: a reply is the meter's word only
  // when the read that brought it succeeded.
  ViStatus ioStatus = VI_SUCCESS;
  // The VISA library may write up to VI_FIND_BUFLEN chars here.
  std::array<ViChar, VI_FIND_BUFLEN> descriptor{};
  std::string resource;  // the name `instrument` was opened with
  std::array<ViChar, kCommandBufferSize> commandBuffer{};
  std::array<ViByte, kReplyBufferSize> replyBuffer{};
  std::string lastReply;
  // The warning the latest discovery showed; empty when it found a meter.
  std::string notice;

  std::string descriptorText() const;
  // Closes the instrument session, then the resource manager with the find
  // list and every other session opened from it. Nothing is held afterwards.
  void Close();

  InstrumentSession() = default;
  InstrumentSession(InstrumentSession&&) noexcept = default;
  // Closes what this session held, in order, before taking the other's.
  InstrumentSession& operator=(InstrumentSession&& other) noexcept;
  ~InstrumentSession() { Close(); }
};

// Dialog-side discovery: waits, searches with kDialogSearchExpression, opens
// every match (keeping the last), sets the buttons and log lines and
// `readyForUpdate`, or warns "USBTMC device not found.".
void DiscoverInstrument(Services& services, InstrumentSession& session, bool& readyForUpdate);

// The three lines that tell the operator the meter is ready for Select.
void LogReadyInstructions(OperatorConsole& console);

// Package-side discovery: waits 5 s, searches with kPackageSearchExpression,
// opens every match (keeping the last), or warns "Meter not found.".
// True when a meter was found and opened (session.count is then the number
// of matches, 0 otherwise). A stop request during the wait ends it at once,
// with nothing found and no warning. (Both discoveries' waits answer a stop
// request within 100 ms.) A match that does not open is not a meter.
bool ReconnectPackageSession(Services& services, InstrumentSession& session);

// Sends one SCPI command (adding "\n" when it has none) and, for queries,
// waits 500 ms and reads the reply (at most 240 bytes). Returns the reply text,
// empty for commands. A command longer than the command buffer is refused:
// nothing is sent, session.count becomes 0 and the reply is empty.
std::string ExchangeCommand(Services& services, InstrumentSession& session,
                            std::string_view command);

// True when `command` is answered with a reply: a '?' after its first
// character, or "TRIG" anywhere.
bool IsQuery(std::string_view command);

// Closes the instrument session, then the resource manager (statuses
// ignored, the close status stored). Nothing is closed twice.
void CloseSessions(InstrumentSession& session);

// One viWrite or viRead on the session's instrument. Without an open session
// nothing is called and the transfer fails with VI_ERROR_INV_OBJECT.
struct Transfer {
  ViStatus status = VI_ERROR_INV_OBJECT;
  ViUInt32 count = 0;
  // The library's word and its count agree that all `expected` bytes went.
  bool Complete(std::size_t expected) const {
    return ViSucceeded(status) && count == expected;
  }
};
Transfer WriteToMeter(Services& services, const InstrumentSession& session,
                      std::span<const ViByte> bytes);
Transfer ReadFromMeter(Services& services, const InstrumentSession& session,
                       std::span<ViByte> buffer);

// "L0\n", 30 ms, "*idn?\n"; keeps the last eleven characters of the reply in
// session.lastReply. `waitAfterL0` is false on the package path, which sends
// both at once. The whole reply and whether it really arrived come back too,
// for IsUsableIdentity.
MeterIdentity ReadIdentity(Services& services, InstrumentSession& session,
                           bool waitAfterL0 = true);

// The same, for callers that need only the versions.
MeterVersions IdentifyInstrument(Services& services, InstrumentSession& session,
                                 bool waitAfterL0 = true);

// "cal:sec:serial?\n"; the serial text as the meter sent it, newline included.
std::string ReadSerial(Services& services, InstrumentSession& session);

}  // namespace quorvel
