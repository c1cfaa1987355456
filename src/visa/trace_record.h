#pragma once
// The part of a trace line a program reads back: after " ## ", the call again
// with every argument and result, exact and free of layout, so that
// `--visa replay:FILE` can serve the trace as the meter and compare what the
// tool writes with what was written when it was recorded.
//
//   viWrite session=3 count=240 sha256=9f86... -> at=1234500 took=400 status=0 returnCount=240
//
// Numbers are decimal; bytes and texts are lower-case hexadecimal. A write of
// more than kWrittenInFull bytes (a data frame) is kept as its SHA-256, which
// still tells a changed frame from the recorded one.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "visa/visa_types.h"

namespace quorvel {

// The trace format replay understands, named in every trace's heading. Traces
// written before it carry no such line and cannot be replayed.
inline constexpr int kTraceFormat = 2;
inline constexpr std::string_view kTraceFormatPrefix = "# quorvel trace ";
inline constexpr std::string_view kRecordMarker = " ## ";

// Written bytes up to this many are kept in full, longer ones as a digest.
inline constexpr std::size_t kWrittenInFull = 64;

// The call a replayed Ctrl+C is recorded as: the stop was asked for before the
// call on the next line.
inline constexpr std::string_view kStopCall = "stop";

using TraceFields = std::vector<std::pair<std::string, std::string>>;

// A number as a trace writes it: decimal.
inline std::string TraceNumber(unsigned long long value) { return std::to_string(value); }

struct TraceRecord {
  std::string call;       // "viWrite", or kStopCall
  TraceFields arguments;  // what the tool passed, in order
  std::chrono::microseconds began{0};
  std::chrono::microseconds took{0};
  ViStatus status = VI_SUCCESS;
  TraceFields results;  // what came back besides the status

  // The text after the marker.
  std::string Text() const;
  // "viWrite(session=3, count=240, sha256=9f86...)", for messages.
  std::string CallText() const;
  const std::string* Result(std::string_view key) const;
  const std::string* Argument(std::string_view key) const;
};

// One record from the text after the marker; nothing, with the reason in
// *error, when it is not one this program wrote.
std::optional<TraceRecord> ParseTraceRecord(std::string_view text, std::string* error);

// The arguments of each call, built the same way when it is traced and when it
// is compared with a trace.
TraceRecord OpenDefaultRMCall();
TraceRecord FindRsrcCall(ViSession resourceManager, const ViChar* expression);
TraceRecord FindNextCall(ViFindList findList);
TraceRecord OpenCall(ViSession resourceManager, const ViChar* resourceName, ViAccessMode mode,
                     ViUInt32 timeout);
TraceRecord CloseCall(ViObject object);
TraceRecord SetAttributeCall(ViObject object, ViAttr attribute, ViAttrState value);
TraceRecord WriteCall(ViSession session, const ViByte* buffer, ViUInt32 count);
TraceRecord ReadCall(ViSession session, ViUInt32 count);
TraceRecord ClearCall(ViSession session);
TraceRecord PrintfCall(ViSession session, const ViChar* format);
TraceRecord ScanfCall(ViSession session, const ViChar* format, std::size_t bufferSize);

// Bytes as lower-case hexadecimal, and back (nothing unless every pair is hex).
std::string HexText(std::span<const std::uint8_t> bytes);
std::optional<std::vector<std::uint8_t>> BytesOfHex(std::string_view hex);
// A text the tool passed (resource names, expressions, formats), at most
// `limit` chars up to its NUL, as hexadecimal.
std::string HexOfText(const ViChar* text, std::size_t limit);

}  // namespace quorvel
