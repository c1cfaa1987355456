#pragma once
// The log lines of each way an image transfer fails, written the same way by
// both procedures.
#include <cstdint>

namespace quorvel {

class OperatorConsole;

void LogFrameNotWritten(OperatorConsole& console);     // no byte of a frame went out
void LogFramePartlyWritten(OperatorConsole& console);  // a frame went out only in part
// The first status reply did not accept the image; its status name follows.
void LogFirstStatusRefused(OperatorConsole& console, std::uint8_t statusCharacter);
void LogEndFrameNotWritten(OperatorConsole& console);
// The reply after the end frame did not accept the image; its status name follows.
void LogSecondStatusRefused(OperatorConsole& console, std::uint8_t statusCharacter);

}  // namespace quorvel
