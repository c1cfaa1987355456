#include "visa/replay/replay_visa.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>

#include "common/message_text.h"
#include "common/utf8_path.h"

namespace quorvel {

namespace {

using Micros = std::chrono::microseconds;

std::string LineNumber(std::size_t index) { return "line " + std::to_string(index + 1); }

// The format named by a heading line, or nothing when it names none.
std::optional<int> FormatOf(std::string_view line) {
  if (!line.starts_with(kTraceFormatPrefix)) return std::nullopt;
  line.remove_prefix(kTraceFormatPrefix.size());
  int format = 0;
  const auto [end, problem] = std::from_chars(line.data(), line.data() + line.size(), format);
  if (problem != std::errc{} || end == line.data()) return std::nullopt;
  return format;
}

// `bytes` into a buffer of `size`, bounded by both; how many went in.
std::size_t CopyInto(const std::string* hex, ViByte* buffer, std::size_t size) {
  if (hex == nullptr || buffer == nullptr) return 0;
  const auto bytes = BytesOfHex(*hex);
  if (!bytes) return 0;
  const std::size_t copied = std::min(bytes->size(), size);
  std::copy_n(bytes->begin(), copied, buffer);
  return copied;
}

// A recorded text into a NUL-terminated buffer of `size` chars.
void CopyText(const std::string* hex, ViChar* buffer, std::size_t size) {
  if (buffer == nullptr || size == 0) return;
  const std::size_t copied = CopyInto(hex, reinterpret_cast<ViByte*>(buffer), size - 1);
  buffer[copied] = '\0';
}

template <typename Number>
Number ResultNumber(const TraceRecord& record, std::string_view key) {
  const std::string* text = record.Result(key);
  Number value{};
  if (text != nullptr) std::from_chars(text->data(), text->data() + text->size(), value);
  return value;
}

// The first argument in which two calls of the same name differ.
std::optional<std::string> DifferingArgument(const TraceRecord& live, const TraceRecord& recorded) {
  for (const auto& [key, value] : live.arguments) {
    const std::string* other = recorded.Argument(key);
    if (other == nullptr || *other != value) return key;
  }
  if (recorded.arguments.size() != live.arguments.size()) return "the arguments";
  return std::nullopt;
}

void ReportAndEnd(const std::string& message) {
  std::cerr << "replay: " << message << std::endl;
  // The tool is in the middle of an update that no longer matches the trace:
  // nothing it does from here on would mean anything.
  std::fflush(nullptr);
  std::_Exit(kReplayDifferenceExit);
}

}  // namespace

std::optional<std::vector<TraceRecord>> ParseTrace(std::string_view text, std::string* error) {
  std::vector<TraceRecord> calls;
  std::optional<int> format;
  for (std::size_t index = 0; !text.empty(); ++index) {
    const std::size_t newline = text.find('\n');
    std::string_view line = text.substr(0, newline);
    text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
    if (line.size() > kMaxTraceLine) {
      *error = LineNumber(index) + " is longer than any line a trace holds";
      return std::nullopt;
    }
    if (line.starts_with('#')) {
      if (!format) format = FormatOf(line);
      continue;
    }
    if (line.empty() || line == "\r") continue;
    if (!format) {
      *error = "the trace is too old to replay: it was written before traces kept every byte "
               "(its heading has no \"" + std::string(kTraceFormatPrefix.substr(2)) +
               std::to_string(kTraceFormat) + "\" line); record it again with this version";
      return std::nullopt;
    }
    if (*format != kTraceFormat) {
      *error = "the trace has format " + std::to_string(*format) + "; this version replays format " +
               std::to_string(kTraceFormat);
      return std::nullopt;
    }
    const std::size_t marker = line.rfind(kRecordMarker);
    std::string problem = "it holds no call after \"" + std::string(kRecordMarker.substr(1)) + "\"";
    std::optional<TraceRecord> record;
    if (marker != std::string_view::npos) {
      record = ParseTraceRecord(line.substr(marker + kRecordMarker.size()), &problem);
    }
    if (!record) {
      *error = LineNumber(index) + " is not a call as this program traces one: " + problem;
      return std::nullopt;
    }
    if (calls.size() >= kMaxTraceCalls) {
      *error = "the trace holds more than " + std::to_string(kMaxTraceCalls) + " calls";
      return std::nullopt;
    }
    calls.push_back(std::move(*record));
  }
  if (calls.empty()) {
    *error = format ? "the trace holds no call" : "this is not a trace of this program";
    return std::nullopt;
  }
  return calls;
}

ReplayVisa::ReplayVisa(std::vector<TraceRecord> calls, Clock& clock, ReplayHooks hooks)
    : calls_(std::move(calls)), clock_(clock), hooks_(std::move(hooks)) {
  if (!hooks_.difference) hooks_.difference = ReportAndEnd;
  SkipStops();
}

ReplayVisa::~ReplayVisa() { Finish(); }

void ReplayVisa::Finish() {
  if (finished_) return;
  finished_ = true;
  if (difference_ || next_ >= calls_.size()) return;
  Differ("the tool stopped after call " + std::to_string(next_) + ", but the trace goes on with " +
         Where(next_, calls_[next_]) + ": " + calls_[next_].CallText());
}

// A Ctrl+C recorded before the next call is pressed now, right after the call
// that preceded it, so that the tool sees it at the same point as then.
void ReplayVisa::SkipStops() {
  while (next_ < calls_.size() && calls_[next_].call == kStopCall) {
    if (hooks_.requestStop) hooks_.requestStop();
    ++next_;
  }
}

std::string ReplayVisa::Where(std::size_t index, const TraceRecord& call) const {
  std::string where = "call " + std::to_string(index + 1);
  if (call.call == "viWrite") {
    const std::string* session = call.Argument("session");
    ViSession number = 0;
    if (session != nullptr) std::from_chars(session->data(), session->data() + session->size(), number);
    const auto writes = writesPerSession_.find(number);
    const std::size_t frame = (writes == writesPerSession_.end() ? 0 : writes->second) + 1;
    where += " (frame " + std::to_string(frame) + " written to session " +
             (session ? *session : std::string("?")) + " since it was opened)";
  }
  return where;
}

void ReplayVisa::Differ(const std::string& message) {
  if (difference_) return;
  difference_ = message;
  hooks_.difference(message);
}

const TraceRecord* ReplayVisa::Serve(const TraceRecord& live) {
  if (difference_) return nullptr;
  if (next_ >= calls_.size()) {
    Differ("call " + std::to_string(next_ + 1) + ": the tool called " + live.CallText() +
           ", but the trace ends after call " + std::to_string(next_));
    return nullptr;
  }
  const TraceRecord& recorded = calls_[next_];
  std::optional<std::string> argument =
      live.call == recorded.call ? DifferingArgument(live, recorded) : "the call";
  if (argument) {
    Differ(Where(next_, live) + " differs in " + *argument + ":\n  the tool:  " + live.CallText() +
           "\n  the trace: " + recorded.CallText());
    return nullptr;
  }
  if (live.call == "viWrite") {
    ViSession session = 0;
    const std::string* number = live.Argument("session");
    std::from_chars(number->data(), number->data() + number->size(), session);
    ++writesPerSession_[session];
  }
  ++next_;
  owed_ += recorded.took;
  const auto whole = std::chrono::duration_cast<Millis>(owed_);
  if (whole.count() > 0) clock_.Sleep(whole);
  owed_ -= whole;
  SkipStops();
  return &recorded;
}

ViStatus ReplayVisa::viOpenDefaultRM(ViSession* resourceManager) {
  const TraceRecord* call = Serve(OpenDefaultRMCall());
  if (call == nullptr) return VI_ERROR_SYSTEM_ERROR;
  if (resourceManager) *resourceManager = ResultNumber<ViSession>(*call, "rm");
  return call->status;
}

ViStatus ReplayVisa::viFindRsrc(ViSession resourceManager, const ViChar* expression,
                                ViFindList* findList, ViUInt32* count, ViChar* descriptor) {
  const TraceRecord* call = Serve(FindRsrcCall(resourceManager, expression));
  if (call == nullptr) return VI_ERROR_SYSTEM_ERROR;
  if (findList) *findList = ResultNumber<ViFindList>(*call, "list");
  if (count) *count = ResultNumber<ViUInt32>(*call, "count");
  CopyText(call->Result("desc"), descriptor, VI_FIND_BUFLEN);
  return call->status;
}

ViStatus ReplayVisa::viFindNext(ViFindList findList, ViChar* descriptor) {
  const TraceRecord* call = Serve(FindNextCall(findList));
  if (call == nullptr) return VI_ERROR_SYSTEM_ERROR;
  CopyText(call->Result("desc"), descriptor, VI_FIND_BUFLEN);
  return call->status;
}

ViStatus ReplayVisa::viOpen(ViSession resourceManager, const ViChar* resourceName,
                            ViAccessMode accessMode, ViUInt32 openTimeout, ViSession* session) {
  const TraceRecord* call = Serve(OpenCall(resourceManager, resourceName, accessMode, openTimeout));
  if (call == nullptr) return VI_ERROR_SYSTEM_ERROR;
  const auto opened = ResultNumber<ViSession>(*call, "session");
  if (session) *session = opened;
  if (ViSucceeded(call->status)) writesPerSession_.erase(opened);
  return call->status;
}

ViStatus ReplayVisa::viClose(ViObject object) {
  const TraceRecord* call = Serve(CloseCall(object));
  return call == nullptr ? VI_ERROR_SYSTEM_ERROR : call->status;
}

ViStatus ReplayVisa::viSetAttribute(ViObject object, ViAttr attribute, ViAttrState value) {
  const TraceRecord* call = Serve(SetAttributeCall(object, attribute, value));
  return call == nullptr ? VI_ERROR_SYSTEM_ERROR : call->status;
}

ViStatus ReplayVisa::viWrite(ViSession session, const ViByte* buffer, ViUInt32 count,
                             ViUInt32* returnCount) {
  if (returnCount) *returnCount = 0;
  const TraceRecord* call = Serve(WriteCall(session, buffer, count));
  if (call == nullptr) return VI_ERROR_SYSTEM_ERROR;
  if (returnCount) *returnCount = std::min(ResultNumber<ViUInt32>(*call, "returnCount"), count);
  return call->status;
}

ViStatus ReplayVisa::viRead(ViSession session, ViByte* buffer, ViUInt32 count,
                            ViUInt32* returnCount) {
  if (returnCount) *returnCount = 0;
  const TraceRecord* call = Serve(ReadCall(session, count));
  if (call == nullptr) return VI_ERROR_SYSTEM_ERROR;
  const std::size_t copied = CopyInto(call->Result("bytes"), buffer, count);
  if (returnCount) *returnCount = static_cast<ViUInt32>(copied);
  return call->status;
}

ViStatus ReplayVisa::viClear(ViSession session) {
  const TraceRecord* call = Serve(ClearCall(session));
  return call == nullptr ? VI_ERROR_SYSTEM_ERROR : call->status;
}

ViStatus ReplayVisa::viPrintf(ViSession session, const ViChar* format) {
  const TraceRecord* call = Serve(PrintfCall(session, format));
  return call == nullptr ? VI_ERROR_SYSTEM_ERROR : call->status;
}

ViStatus ReplayVisa::viScanf(ViSession session, const ViChar* format, ViChar* buffer,
                             std::size_t bufferSize) {
  if (buffer != nullptr && bufferSize > 0) buffer[0] = '\0';
  const TraceRecord* call = Serve(ScanfCall(session, format, bufferSize));
  if (call == nullptr) return VI_ERROR_SYSTEM_ERROR;
  CopyText(call->Result("bytes"), buffer, bufferSize);
  return call->status;
}

std::unique_ptr<VisaLibrary> MakeReplayVisa(std::string_view path, Clock& clock,
                                            ReplayHooks hooks, std::string* error) {
  const std::string shown = "\"" + ArgumentForMessage(path) + "\"";
  if (path.empty()) {
    *error = "name the trace to replay: replay:FILE";
    return nullptr;
  }
  std::ifstream file(PathFromUtf8(path), std::ios::binary);
  if (!file) {
    *error = "cannot read the trace " + shown + ": " + std::strerror(errno);
    return nullptr;
  }
  std::string text;
  std::vector<char> piece(64 * 1024);
  while (text.size() <= kMaxTraceBytes &&
         file.read(piece.data(), static_cast<std::streamsize>(piece.size())).gcount() > 0) {
    text.append(piece.data(), static_cast<std::size_t>(file.gcount()));
  }
  if (text.size() > kMaxTraceBytes) {
    *error = "the trace " + shown + " is larger than any trace of an update";
    return nullptr;
  }
  std::string problem;
  auto calls = ParseTrace(text, &problem);
  if (!calls) {
    *error = "cannot replay " + shown + ": " + problem;
    return nullptr;
  }
  return std::make_unique<ReplayVisa>(std::move(*calls), clock, std::move(hooks));
}

}  // namespace quorvel
