#include "visa/tracing_visa.h"

#include <algorithm>
#include <cstdio>
#include <cerrno>
#include <cstring>
#include <fstream>

#include "common/utf8_path.h"
#include "visa/trace_record.h"
#include "visa/status_names.h"

namespace quorvel {

namespace {

bool Printable(std::uint8_t byte) { return byte >= 0x20 && byte < 0x7F; }

std::string Hex(std::uint8_t byte) {
  char text[4];
  std::snprintf(text, sizeof text, "%02X", byte);
  return text;
}

// "1234.5": microseconds as milliseconds with one decimal, right-aligned in
// `width` characters.
std::string Milliseconds(std::chrono::microseconds time, int width) {
  const long long tenths = std::max<long long>(time.count(), 0) / 100;
  char text[32];
  std::snprintf(text, sizeof text, "%*lld.%lld", width, tenths / 10, tenths % 10);
  return text;
}

// The part of a transfer that really happened: a library claiming more than
// the buffer holds is not believed.
std::span<const std::uint8_t> Transferred(const ViByte* buffer, ViUInt32 size,
                                          const ViUInt32* returnCount) {
  if (buffer == nullptr || returnCount == nullptr) return {};
  return {buffer, std::min(*returnCount, size)};
}

}  // namespace

std::string TraceBytes(std::span<const std::uint8_t> bytes) {
  const std::size_t shown = std::min(bytes.size(), kTracedBytes);
  std::string hex;
  std::string ascii;
  for (std::size_t i = 0; i < shown; ++i) {
    if (i > 0) hex += ' ';
    hex += Hex(bytes[i]);
    ascii += Printable(bytes[i]) ? static_cast<char>(bytes[i]) : '.';
  }
  std::string text = "| " + hex + " | " + ascii + " |";
  if (bytes.size() > shown) text += " +" + TraceNumber(bytes.size() - shown) + " bytes";
  return text;
}

std::string TraceText(const ViChar* text) {
  if (text == nullptr) return "null";
  std::string quoted = "\"";
  for (std::size_t i = 0; i < VI_FIND_BUFLEN && text[i] != '\0'; ++i) {
    const auto byte = static_cast<std::uint8_t>(text[i]);
    if (Printable(byte) && byte != '"' && byte != '\\') {
      quoted += static_cast<char>(byte);
    } else {
      quoted += "\\x" + Hex(byte);
    }
  }
  return quoted + "\"";
}

TracingVisa::TracingVisa(VisaLibrary& inner, const Clock& clock, std::ostream& out,
                         std::function<bool()> stopRequested)
    : ForwardingVisaLibrary(inner),
      clock_(clock),
      out_(out),
      start_(clock.PreciseNow()),
      stopRequested_(std::move(stopRequested)) {}

TracingVisa::Micros TracingVisa::Elapsed() const { return clock_.PreciseNow() - start_; }

TracingVisa::Micros TracingVisa::Begin() {
  const Micros began = Elapsed();
  // A Ctrl+C is noted before the first call that follows it, so that a replay
  // can ask for the stop at the same point of the update.
  if (stopRequested_ && !stopNoted_.load() && stopRequested_() && !stopNoted_.exchange(true)) {
    TraceRecord stop;
    stop.call = kStopCall;
    stop.began = began;
    Write(Milliseconds(began, 9) + " ms  Ctrl+C: asked to stop" + std::string(kRecordMarker) +
          stop.Text() + '\n');
  }
  return began;
}

std::string TracingVisa::DeviceFailure(ViSession session, ViStatus status) {
  if (status >= VI_SUCCESS) return {};
  return inner_.LastFailure(session);
}

void TracingVisa::Line(Micros began, const std::string& call, TraceRecord& record,
                       const std::string& results, std::span<const std::uint8_t> bytes,
                       const std::string& deviceFailure) {
  record.began = began;
  record.took = Elapsed() - began;
  std::string line = Milliseconds(began, 9) + " ms  " + call + " -> " +
                     ViStatusName(record.status) + "  (" + Milliseconds(record.took, 1) + " ms)";
  if (!results.empty()) line += "  " + results;
  if (!bytes.empty()) line += "  " + TraceBytes(bytes);
  if (!deviceFailure.empty()) line += "  device: " + deviceFailure;
  line += std::string(kRecordMarker) + record.Text() + '\n';
  Write(line);
}

void TracingVisa::Write(const std::string& line) {
  // Written and flushed whole: the trace must survive a crash or a hang, and
  // lines from several workers must not interleave.
  const std::lock_guard lock(mutex_);
  out_ << line << std::flush;
}

ViStatus TracingVisa::viOpenDefaultRM(ViSession* resourceManager) {
  const Micros began = Begin();
  TraceRecord record = OpenDefaultRMCall();
  record.status = inner_.viOpenDefaultRM(resourceManager);
  const ViSession opened = resourceManager ? *resourceManager : 0;
  record.results = {{"rm", TraceNumber(opened)}};
  Line(began, "viOpenDefaultRM()", record, "resourceManager=" + TraceNumber(opened));
  return record.status;
}

ViStatus TracingVisa::viFindRsrc(ViSession resourceManager, const ViChar* expression,
                                 ViFindList* findList, ViUInt32* count, ViChar* descriptor) {
  const Micros began = Begin();
  TraceRecord record = FindRsrcCall(resourceManager, expression);
  record.status = inner_.viFindRsrc(resourceManager, expression, findList, count, descriptor);
  const ViUInt32 found = count ? *count : 0;
  const ViFindList list = findList ? *findList : 0;
  std::string results = "findList=" + TraceNumber(list) + " count=" + TraceNumber(found);
  if (found > 0) results += " first=" + TraceText(descriptor);
  record.results = {{"list", TraceNumber(list)}, {"count", TraceNumber(found)}};
  if (found > 0) record.results.emplace_back("desc", HexOfText(descriptor, VI_FIND_BUFLEN));
  Line(began, "viFindRsrc(" + TraceNumber(resourceManager) + ", " + TraceText(expression) + ")",
       record, results);
  return record.status;
}

ViStatus TracingVisa::viFindNext(ViFindList findList, ViChar* descriptor) {
  const Micros began = Begin();
  TraceRecord record = FindNextCall(findList);
  record.status = inner_.viFindNext(findList, descriptor);
  const bool found = ViSucceeded(record.status);
  if (found) record.results = {{"desc", HexOfText(descriptor, VI_FIND_BUFLEN)}};
  Line(began, "viFindNext(" + TraceNumber(findList) + ")", record,
       found ? "descriptor=" + TraceText(descriptor) : std::string());
  return record.status;
}

ViStatus TracingVisa::viOpen(ViSession resourceManager, const ViChar* resourceName,
                             ViAccessMode accessMode, ViUInt32 openTimeout, ViSession* session) {
  const Micros began = Begin();
  TraceRecord record = OpenCall(resourceManager, resourceName, accessMode, openTimeout);
  record.status = inner_.viOpen(resourceManager, resourceName, accessMode, openTimeout, session);
  const ViSession opened = session ? *session : 0;
  record.results = {{"session", TraceNumber(opened)}};
  Line(began,
       "viOpen(" + TraceNumber(resourceManager) + ", " + TraceText(resourceName) + ", mode=" +
           TraceNumber(accessMode) + ", timeout=" + TraceNumber(openTimeout) + ")",
       record, "session=" + TraceNumber(opened));
  return record.status;
}

ViStatus TracingVisa::viClose(ViObject object) {
  const Micros began = Begin();
  TraceRecord record = CloseCall(object);
  record.status = inner_.viClose(object);
  Line(began, "viClose(" + TraceNumber(object) + ")", record, {});
  return record.status;
}

ViStatus TracingVisa::viSetAttribute(ViObject object, ViAttr attribute, ViAttrState value) {
  const Micros began = Begin();
  TraceRecord record = SetAttributeCall(object, attribute, value);
  record.status = inner_.viSetAttribute(object, attribute, value);
  char name[16];
  std::snprintf(name, sizeof name, "0x%08X", static_cast<unsigned>(attribute));
  const std::string attributeName = attribute == VI_ATTR_TMO_VALUE ? "VI_ATTR_TMO_VALUE" : name;
  Line(began, "viSetAttribute(" + TraceNumber(object) + ", " + attributeName + ", " + TraceNumber(value) + ")",
       record, {});
  return record.status;
}

ViStatus TracingVisa::viWrite(ViSession session, const ViByte* buffer, ViUInt32 count,
                              ViUInt32* returnCount) {
  const Micros began = Begin();
  TraceRecord record = WriteCall(session, buffer, count);
  record.status = inner_.viWrite(session, buffer, count, returnCount);
  const ViUInt32 written = returnCount ? *returnCount : 0;
  record.results = {{"returnCount", TraceNumber(written)}};
  // The bytes offered are shown, whether or not they all went out.
  Line(began, "viWrite(" + TraceNumber(session) + ", count=" + TraceNumber(count) + ")", record,
       "returnCount=" + TraceNumber(written),
       buffer ? std::span<const std::uint8_t>(buffer, count) : std::span<const std::uint8_t>(),
       DeviceFailure(session, record.status));
  return record.status;
}

ViStatus TracingVisa::viRead(ViSession session, ViByte* buffer, ViUInt32 count,
                             ViUInt32* returnCount) {
  const Micros began = Begin();
  TraceRecord record = ReadCall(session, count);
  record.status = inner_.viRead(session, buffer, count, returnCount);
  const auto received = Transferred(buffer, count, returnCount);
  record.results = {{"returnCount", TraceNumber(returnCount ? *returnCount : 0)},
                    {"bytes", HexText(received)}};
  Line(began, "viRead(" + TraceNumber(session) + ", count=" + TraceNumber(count) + ")", record,
       "returnCount=" + TraceNumber(returnCount ? *returnCount : 0), received,
       DeviceFailure(session, record.status));
  return record.status;
}

ViStatus TracingVisa::viClear(ViSession session) {
  const Micros began = Begin();
  TraceRecord record = ClearCall(session);
  record.status = inner_.viClear(session);
  Line(began, "viClear(" + TraceNumber(session) + ")", record, {}, {},
       DeviceFailure(session, record.status));
  return record.status;
}

ViStatus TracingVisa::viPrintf(ViSession session, const ViChar* format) {
  const Micros began = Begin();
  TraceRecord record = PrintfCall(session, format);
  record.status = inner_.viPrintf(session, format);
  const std::size_t length = format ? strnlen(format, VI_FIND_BUFLEN * 4) : 0;
  Line(began, "viPrintf(" + TraceNumber(session) + ")", record, {},
       {reinterpret_cast<const std::uint8_t*>(format), length},
       DeviceFailure(session, record.status));
  return record.status;
}

ViStatus TracingVisa::viScanf(ViSession session, const ViChar* format, ViChar* buffer,
                              std::size_t bufferSize) {
  const Micros began = Begin();
  TraceRecord record = ScanfCall(session, format, bufferSize);
  record.status = inner_.viScanf(session, format, buffer, bufferSize);
  const std::size_t length = buffer && bufferSize > 0 ? strnlen(buffer, bufferSize) : 0;
  const std::span<const std::uint8_t> text(reinterpret_cast<const std::uint8_t*>(buffer), length);
  record.results = {{"bytes", HexText(text)}};
  Line(began, "viScanf(" + TraceNumber(session) + ", " + TraceText(format) + ")", record,
       "length=" + TraceNumber(length), text, DeviceFailure(session, record.status));
  return record.status;
}

namespace {

// What a trace file owns: the library it wraps and the file. A base class of
// its own so that both exist before the trace is built on them.
struct TraceFileParts {
  std::unique_ptr<VisaLibrary> library;
  std::unique_ptr<std::ofstream> file;
};

// The trace with what it writes to and what it wraps, so that a front end
// holds one library, as without a trace.
class TraceFileVisa final : private TraceFileParts, public TracingVisa {
 public:
  TraceFileVisa(std::unique_ptr<VisaLibrary> inner, std::unique_ptr<std::ofstream> out,
                const Clock& clock, std::function<bool()> stopRequested)
      : TraceFileParts{std::move(inner), std::move(out)},
        TracingVisa(*library, clock, *TraceFileParts::file, std::move(stopRequested)) {}
};

}  // namespace

std::string TraceHeading(std::string_view heading) {
  return "# " + std::string(heading) + '\n' + std::string(kTraceFormatPrefix) +
         std::to_string(kTraceFormat) + ": after \"" + std::string(kRecordMarker.substr(1)) +
         "\" each call again in full, for --visa replay:FILE\n" +
         "# time since start, call(arguments) -> status (duration), results, bytes\n";
}

std::optional<std::string> ChooseTraceFile(const std::optional<std::string>& commandLine,
                                           const char* environment) {
  if (commandLine) return commandLine;
  if (environment != nullptr && *environment != '\0') return std::string(environment);
  return std::nullopt;
}

std::unique_ptr<VisaLibrary> TraceToFile(std::unique_ptr<VisaLibrary> inner, const Clock& clock,
                                         const std::string& path, std::string_view heading,
                                         std::string* error, std::function<bool()> stopRequested) {
  // Through a path object: on Windows a narrow name would be read in the ANSI code page.
  auto file =
      std::make_unique<std::ofstream>(PathFromUtf8(path), std::ios::out | std::ios::trunc);
  if (!*file) {
    *error = "cannot write the trace to \"" + path + "\": " + std::strerror(errno);
    return nullptr;
  }
  *file << TraceHeading(heading) << std::flush;
  return std::make_unique<TraceFileVisa>(std::move(inner), std::move(file), clock,
                                         std::move(stopRequested));
}

}  // namespace quorvel
