#pragma once
// A trace served as the meter (`--visa replay:FILE`): a failed update sent in
// from the field runs again, here, call for call. Every read returns what the
// recorded read returned and every call the recorded status, each taking as
// long as it took then; everything the tool passes, and every byte it writes,
// is compared with the trace, and the first difference ends the run.
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/clock.h"
#include "visa/trace_record.h"
#include "visa/visa_library.h"

namespace quorvel {

// The exit status of a run that did not do what the trace recorded.
inline constexpr int kReplayDifferenceExit = 2;

// Bounds on a trace: it comes from outside.
inline constexpr std::size_t kMaxTraceLine = 80 * 1024;
inline constexpr std::size_t kMaxTraceCalls = 1'000'000;
inline constexpr std::size_t kMaxTraceBytes = 256 * 1024 * 1024;

struct ReplayHooks {
  // Presses Ctrl+C where the trace recorded one; without it, such a trace
  // cannot be followed to its end.
  std::function<void()> requestStop;
  // Hears of the first difference, once. Unset: the message goes to standard
  // error and the process ends with kReplayDifferenceExit.
  std::function<void(const std::string&)> difference;
};

// The calls of a trace's text, in order (Ctrl+C records among them); nothing,
// with the reason in *error, when it is not a trace this program can replay.
std::optional<std::vector<TraceRecord>> ParseTrace(std::string_view text, std::string* error);

class ReplayVisa final : public VisaLibrary {
 public:
  ReplayVisa(std::vector<TraceRecord> calls, Clock& clock, ReplayHooks hooks);
  // A tool that stopped before the trace did differs from it too.
  ~ReplayVisa() override;
  ReplayVisa(const ReplayVisa&) = delete;
  ReplayVisa& operator=(const ReplayVisa&) = delete;

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
  // No meter is behind a trace: --time-scale may run it at once.
  bool ServesSimulatedMeter() const override { return true; }

  // The first difference, once there is one.
  const std::optional<std::string>& difference() const { return difference_; }
  // Reports the calls the tool did not make; the destructor does it otherwise.
  void Finish();

 private:
  // The recorded call matching `live`, its time spent; null after a difference.
  const TraceRecord* Serve(const TraceRecord& live);
  void Differ(const std::string& message);
  std::string Where(std::size_t index, const TraceRecord& call) const;
  void SkipStops();

  std::vector<TraceRecord> calls_;
  std::size_t next_ = 0;
  Clock& clock_;
  ReplayHooks hooks_;
  std::chrono::microseconds owed_{0};  // recorded time not yet slept (under a millisecond)
  std::map<ViSession, std::size_t> writesPerSession_;  // to name a data frame by its index
  std::optional<std::string> difference_;
  bool finished_ = false;
};

// The trace at `path` as a VISA library; null, with the reason in *error, when
// it cannot be read or replayed.
std::unique_ptr<VisaLibrary> MakeReplayVisa(std::string_view path, Clock& clock,
                                            ReplayHooks hooks, std::string* error);

}  // namespace quorvel
