#pragma once
// The I/O trace: a VISA library that writes one line per call to the library
// it wraps. Support asks for it when an update on a real meter fails, and it
// shows anyone the pacing of an update. Works with every backend, since it
// only sees the VisaLibrary interface.
#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>

#include "common/clock.h"
#include "visa/forwarding_visa.h"
#include "visa/trace_record.h"

namespace quorvel {

// The environment variable that names a trace file when --trace is not given.
inline constexpr const char* kTraceEnvironmentVariable = "QUORVEL_TRACE";

// A line shows at most this many bytes of a transfer; a frame is 240.
inline constexpr std::size_t kTracedBytes = 64;

// One line per call:
//   "   1234.5 ms  viWrite(session=3, count=240) -> VI_SUCCESS  (0.4 ms)  returnCount=240
//    | 4E 41 ... | NA.. |  ## viWrite session=3 count=240 sha256=... -> at=... status=0 ..."
// After the marker the same call is written again in full for a replay (see
// trace_record.h); what comes before it is for people. A failed call's human
// part ends with the backend's account of what the device did
// ("  device: the meter's reply header names message 0x03, ...").
// The time is when the call began, since the trace started, from the clock the
// procedures wait on (so a test in virtual time gets a virtual trace). Text from
// the meter appears only as hex and printable ASCII, never raw.
// Several workers may share one trace: lines are written whole.
class TracingVisa : public ForwardingVisaLibrary {
 public:
  // `stopRequested`, when given, tells whether Ctrl+C was pressed; the trace
  // notes it before the next call.
  TracingVisa(VisaLibrary& inner, const Clock& clock, std::ostream& out,
              std::function<bool()> stopRequested = {});

  ViStatus viOpenDefaultRM(ViSession* resourceManager) override;
  ViStatus viFindRsrc(ViSession resourceManager, const ViChar* expression, ViFindList* findList,
                      ViUInt32* count, ViChar* descriptor) override;
  ViStatus viFindNext(ViFindList findList, ViChar* descriptor) override;
  ViStatus viOpen(ViSession resourceManager, const ViChar* resourceName, ViAccessMode accessMode,
                  ViUInt32 openTimeout, ViSession* session) override;
  ViStatus viClose(ViObject object) override;
  ViStatus viSetAttribute(ViObject object, ViAttr attribute, ViAttrState value) override;
  ViStatus viWrite(ViSession session, const ViByte* buffer, ViUInt32 count,
                   ViUInt32* returnCount) override;
  ViStatus viRead(ViSession session, ViByte* buffer, ViUInt32 count,
                  ViUInt32* returnCount) override;
  ViStatus viClear(ViSession session) override;
  ViStatus viPrintf(ViSession session, const ViChar* format) override;
  ViStatus viScanf(ViSession session, const ViChar* format, ViChar* buffer,
                   std::size_t bufferSize) override;

 private:
  using Micros = std::chrono::microseconds;
  Micros Elapsed() const;
  Micros Begin();
  // The backend's account of a failed call, "" after a success.
  std::string DeviceFailure(ViSession session, ViStatus status);
  void Line(Micros began, const std::string& call, TraceRecord& record,
            const std::string& results, std::span<const std::uint8_t> bytes = {},
            const std::string& deviceFailure = {});
  void Write(const std::string& line);

  const Clock& clock_;
  std::ostream& out_;
  Micros start_;
  std::function<bool()> stopRequested_;
  std::atomic<bool> stopNoted_{false};
  std::mutex mutex_;
};

// "4E 41 56 ... | NAV... |": up to kTracedBytes bytes in hex with their
// printable ASCII beside (other bytes as '.'), and how many were left out.
std::string TraceBytes(std::span<const std::uint8_t> bytes);

// A resource name or expression from a library or the meter, quoted, with
// every byte outside printable ASCII as \xNN; at most VI_FIND_BUFLEN read.
std::string TraceText(const ViChar* text);

// The lines a trace file starts with: `heading` (the program, its version, the
// backend), the trace format a replay needs, and what the columns mean.
std::string TraceHeading(std::string_view heading);

// The trace file a front end writes: the command line's wins, then a non-empty
// QUORVEL_TRACE; nothing when neither names one.
std::optional<std::string> ChooseTraceFile(const std::optional<std::string>& commandLine,
                                           const char* environment);

// `inner` with every call traced to the file at `path` (created, or emptied),
// which starts with `heading` (the program, its version, the backend). The
// result owns `inner` and the file. Null, with the reason in *error, when the
// file cannot be written; then `inner` is gone too.
std::unique_ptr<VisaLibrary> TraceToFile(std::unique_ptr<VisaLibrary> inner, const Clock& clock,
                                         const std::string& path, std::string_view heading,
                                         std::string* error,
                                         std::function<bool()> stopRequested = {});

}  // namespace quorvel
