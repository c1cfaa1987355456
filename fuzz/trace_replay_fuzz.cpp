// Arbitrary text as a trace to replay (`--visa replay:FILE`). A refusal names
// its reason; a trace that parses writes back to the same records, and serves
// an update through the VISA door without overrunning a buffer: whatever the
// trace claims, a reply never fills more than the tool asked for.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/clock.h"
#include "fuzz_support.h"
#include "instrument/instrument_session.h"
#include "update/update_procedures.h"
#include "visa/replay/replay_visa.h"

namespace quorvel {
namespace {

using fuzz::Require;

void RequireRecordsWriteBack(const std::vector<TraceRecord>& calls) {
  Require(!calls.empty() && calls.size() <= kMaxTraceCalls);
  for (const TraceRecord& call : calls) {
    std::string error;
    const auto again = ParseTraceRecord(call.Text(), &error);
    Require(again && again->Text() == call.Text());
  }
}

// Discovery, then Select with an image, against the trace.
void ServeAnUpdate(std::vector<TraceRecord> calls) {
  VirtualClock clock;
  SilentConsole console;
  const std::uint8_t image[300] = {};
  fuzz::BytesFileSystem files(image);
  bool differed = false;
  ReplayVisa replay(std::move(calls), clock,
                    {.requestStop = [] {}, .difference = [&](const std::string& message) {
                       Require(!message.empty() && !differed);
                       differed = true;
                     }});
  Services services{replay, console, clock, files};
  DialogState dialog;
  DiscoverInstrument(services, dialog.session, dialog.readyForUpdate);
  RunImageUpdate(services, dialog);
  replay.Finish();
}

}  // namespace
}  // namespace quorvel

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string error;
  auto calls = quorvel::ParseTrace(text, &error);
  if (!calls) {
    quorvel::fuzz::Require(!error.empty());
    return 0;
  }
  quorvel::RequireRecordsWriteBack(*calls);
  quorvel::ServeAnUpdate(std::move(*calls));
  return 0;
}
