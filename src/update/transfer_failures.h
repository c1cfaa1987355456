#pragma once
// The log lines of each way an image transfer fails, written the same way by
// both procedures.
#include <cstddef>
#include <cstdint>
#include <optional>

#include "instrument/instrument_session.h"
#include "update/update_report.h"

namespace quorvel {

class OperatorConsole;

// How one frame's write went wrong, logged; nothing when the meter took every
// byte. A write whose status is an error failed, whatever count it claims.
std::optional<TransferStep> FrameWriteFailure(OperatorConsole& console, const Transfer& write,
                                              std::size_t length, bool endFrame);

void LogFileReadError(OperatorConsole& console);       // the file could not supply a frame
void LogFrameNotWritten(OperatorConsole& console);     // no byte of a frame went out
void LogFramePartlyWritten(OperatorConsole& console);  // a frame went out only in part
// The first status reply did not accept the image; its status name follows.
void LogFirstStatusRefused(OperatorConsole& console, std::uint8_t statusCharacter);
void LogEndFrameNotWritten(OperatorConsole& console);
// The reply after the end frame did not accept the image; its status name follows.
void LogSecondStatusRefused(OperatorConsole& console, std::uint8_t statusCharacter);

}  // namespace quorvel
