#include "cli/visa_decorators.h"

#include "cli/stop_signal.h"

namespace quorvel::cli {

// ---- InterruptSafeVisa ----

ViStatus InterruptSafeVisa::viWrite(ViSession session, const ViByte* buffer, ViUInt32 count,
                                    ViUInt32* returnCount) {
  const WriteInProgress writing;
  return inner_.viWrite(session, buffer, count, returnCount);
}

ViStatus InterruptSafeVisa::viPrintf(ViSession session, const ViChar* format) {
  const WriteInProgress writing;
  return inner_.viPrintf(session, format);
}

}  // namespace quorvel::cli
