#include "update/transfer_failures.h"

#include "common/operator_console.h"
#include "instrument/wire_format.h"

namespace quorvel {

std::optional<TransferStep> FrameWriteFailure(OperatorConsole& console, const Transfer& write,
                                              std::size_t length, bool endFrame) {
  if (write.Complete(length)) return std::nullopt;
  if (endFrame) {
    LogEndFrameNotWritten(console);
    return TransferStep::kEndFrameNotWritten;
  }
  const bool partly = write.count > 0 && write.count < length;
  if (!partly) {
    LogFrameNotWritten(console);
    return TransferStep::kFrameNotWritten;
  }
  LogFramePartlyWritten(console);
  return TransferStep::kFramePartlyWritten;
}

void LogFileReadError(OperatorConsole& console) {
  console.AppendLog("Read error in the firmware file.");
}

void LogFrameNotWritten(OperatorConsole& console) {
  console.AppendLog("the 1st error -- in writing progress.");
  console.AppendLog("\r\nUpgrade failure....Please restart DMM and try again.");
}

void LogFramePartlyWritten(OperatorConsole& console) {
  console.AppendLog("the 1-1st Error -- in writing progress.");
  console.AppendLog("\r\nUpgrade failure....during writing progress.");
}

void LogFirstStatusRefused(OperatorConsole& console, std::uint8_t statusCharacter) {
  console.AppendLog("the 3nd error -- Checksum error.");
  ReportStatusCode(console, statusCharacter);
}

void LogEndFrameNotWritten(OperatorConsole& console) {
  console.AppendLog("the 2nd error -- send EOF.");
  console.AppendLog("Upgrade failure...Please restart DMM and try again.");
}

void LogSecondStatusRefused(OperatorConsole& console, std::uint8_t statusCharacter) {
  console.AppendLog("the 2nd error -- check EOF.");
  console.AppendLog("Upgrade failure...Please restart DMM and try again.");
  ReportStatusCode(console, statusCharacter);
}

}  // namespace quorvel
