#include "replay/cut_bench.h"

#include <algorithm>
#include <cstdio>
#include <map>

#include "cli/fleet_command.h"
#include "cli/outcome_line.h"
#include "fleet/fleet_update.h"
#include "support/memory_file_system.h"
#include "support/memory_history.h"

namespace quorvel::testing {

namespace {

constexpr const char* kFolder = "/fw/";
// The longest a run may go on after its meter was cut off or Ctrl+C pressed:
// the searches for a meter that does not come back, with their waits.
constexpr Millis kOwedAfterInterruption{120'000};

// A session is owned and closes once: no run, cut or not, may name a handle
// that is not open, or a library that reuses numbers would end another
// meter's session.
constexpr const char* kClosedHandleFault =
    "calls name handles that are not open (closed, or never opened)";

class SilentObserver final : public FleetObserver {
 public:
  void Line(std::size_t, std::string_view) override {}
  void Progress(std::size_t, const ProgressReport&) override {}
  void Finished(std::size_t, const UpdateReport&) override {}
};

struct Run {
  UpdateReport report;
  std::vector<HistoryRecord> records;
  bool switched = false;
  std::size_t installed = 0;
  std::optional<Millis> afterInterruption;
  std::size_t calls = 0;
  std::vector<std::string> misuse;
};

Run RunOnce(const WorldMaker& makeWorld, const UpdateFile& file, Interruption interruption,
            std::optional<std::size_t> at) {
  const std::unique_ptr<MeterWorld> world = makeWorld();
  MemoryFileSystem files;
  const std::string path = kFolder + std::string(file.name);
  files.AddFile(path, file.bytes);
  MemoryHistory history;
  bool stop = false;
  std::optional<Millis> interruptedAt;
  InterruptingVisa visa(world->visa(), at, [&] {
    interruptedAt = world->clock().Now();
    if (interruption == Interruption::kCableCut) {
      world->PullPlug();
    } else {
      stop = true;
    }
  });
  FleetRequest request{.path = path,
                       .resources = {world->resource()},
                       .answerYes = true,
                       .stopRequested = [&stop] { return stop; },
                       .history = &history,
                       .origin = {.tool = "quorvel-cli", .toolVersion = "test", .backend = "test"}};
  SilentObserver observer;
  Run run;
  run.report = RunMeterPipeline(visa, world->clock(), files, request, 0, observer);
  run.records = history.Read().records;
  run.switched = world->Switched();
  run.installed = world->InstalledImages();
  if (interruptedAt) run.afterInterruption = world->clock().Now() - *interruptedAt;
  run.calls = visa.calls();
  run.misuse = visa.misuse();
  return run;
}

bool ClaimsSwitched(const UpdateReport& report) {
  return cli::DescribeOutcome(report).text.find("Recycle") != std::string::npos;
}

// What is wrong with what the tool claims after `run`, one text per fault.
std::vector<std::string> WrongClaims(const Run& run, const UpdateFile& file,
                                     Interruption interruption) {
  std::vector<std::string> wrong;
  const bool installedAll = run.installed == file.images;
  const cli::OutcomeLine line = cli::DescribeOutcome(run.report);
  const std::string said = line.verdict + ": " + line.text;
  if (run.report.succeeded() && !installedAll) wrong.push_back("false success: " + said);
  if (run.report.switchedToUpdateMode != run.switched || ClaimsSwitched(run.report) != run.switched) {
    wrong.push_back(std::string(run.switched ? "switched" : "untouched") + " meter, but: " + said);
  }
  const int exit = cli::ToInt(cli::ExitStatusOf(run.report));
  const bool stopped = run.report.outcome == UpdateOutcome::kStopped;
  if ((exit == 0) != installedAll || (stopped && exit != 130) ||
      (interruption == Interruption::kCableCut && stopped)) {
    wrong.push_back("exit " + std::to_string(exit) + " for: " + said);
  }
  if (run.records.size() > 1) wrong.push_back("more than one history record");
  for (const HistoryRecord& record : run.records) {
    if (record.outcome != OutcomeName(run.report) || (record.outcome == "installed") != installedAll) {
      wrong.push_back("history says \"" + record.outcome + "\" for: " + said);
    }
  }
  if (run.afterInterruption && *run.afterInterruption > kOwedAfterInterruption) {
    wrong.push_back("ran " + std::to_string(run.afterInterruption->count()) + " ms after it");
  }
  return wrong;
}

}  // namespace

InterruptingVisa::InterruptingVisa(VisaLibrary& inner, std::optional<std::size_t> at,
                                   std::function<void()> interrupt)
    : ForwardingVisaLibrary(inner), at_(at), interrupt_(std::move(interrupt)) {}

void InterruptingVisa::Next(const char* call, std::optional<ViObject> handle) {
  ++calls_;
  if (at_ && calls_ == *at_) interrupt_();
  if (handle && !open_.contains(*handle)) {
    misuse_.push_back(std::string(call) + "(" + std::to_string(*handle) + ") at call " +
                      std::to_string(calls_) + " names a handle that is not open");
  }
}

void InterruptingVisa::Opened(ViStatus status, ViObject handle, std::optional<ViObject> parent) {
  if (!ViSucceeded(status) || handle == VI_NULL) return;
  open_.insert(handle);
  if (parent) children_.emplace_back(*parent, handle);
}

ViStatus InterruptingVisa::viOpenDefaultRM(ViSession* resourceManager) {
  Next("viOpenDefaultRM", std::nullopt);
  const ViStatus status = inner_.viOpenDefaultRM(resourceManager);
  Opened(status, *resourceManager);
  return status;
}

ViStatus InterruptingVisa::viFindRsrc(ViSession resourceManager, const ViChar* expression,
                                      ViFindList* findList, ViUInt32* count, ViChar* descriptor) {
  Next("viFindRsrc", resourceManager);
  const ViStatus status =
      inner_.viFindRsrc(resourceManager, expression, findList, count, descriptor);
  Opened(status, *findList, resourceManager);
  return status;
}

ViStatus InterruptingVisa::viFindNext(ViFindList findList, ViChar* descriptor) {
  Next("viFindNext", findList);
  return inner_.viFindNext(findList, descriptor);
}

ViStatus InterruptingVisa::viOpen(ViSession resourceManager, const ViChar* resourceName,
                                  ViAccessMode accessMode, ViUInt32 openTimeout,
                                  ViSession* session) {
  Next("viOpen", resourceManager);
  const ViStatus status =
      inner_.viOpen(resourceManager, resourceName, accessMode, openTimeout, session);
  Opened(status, *session, resourceManager);
  return status;
}

ViStatus InterruptingVisa::viClose(ViObject object) {
  Next("viClose", object);
  // Closing a resource manager closes everything opened from it.
  for (const auto& [parent, child] : children_) {
    if (parent == object) open_.erase(child);
  }
  std::erase_if(children_, [object](const auto& link) {
    return link.first == object || link.second == object;
  });
  open_.erase(object);
  return inner_.viClose(object);
}

ViStatus InterruptingVisa::viSetAttribute(ViObject object, ViAttr attribute, ViAttrState value) {
  Next("viSetAttribute", object);
  return inner_.viSetAttribute(object, attribute, value);
}

ViStatus InterruptingVisa::viWrite(ViSession session, const ViByte* buffer, ViUInt32 count,
                                   ViUInt32* returnCount) {
  Next("viWrite", session);
  return inner_.viWrite(session, buffer, count, returnCount);
}

ViStatus InterruptingVisa::viRead(ViSession session, ViByte* buffer, ViUInt32 count,
                                  ViUInt32* returnCount) {
  Next("viRead", session);
  return inner_.viRead(session, buffer, count, returnCount);
}

ViStatus InterruptingVisa::viClear(ViSession session) {
  Next("viClear", session);
  return inner_.viClear(session);
}

ViStatus InterruptingVisa::viPrintf(ViSession session, const ViChar* format) {
  Next("viPrintf", session);
  return inner_.viPrintf(session, format);
}

ViStatus InterruptingVisa::viScanf(ViSession session, const ViChar* format, ViChar* buffer,
                                   std::size_t bufferSize) {
  Next("viScanf", session);
  return inner_.viScanf(session, format, buffer, bufferSize);
}

UpdateFile SmallImage() {
  return {"dsp.bin", BinBuilder().Version("01.21").Payload(240 * 3).WithCrc().Bytes(), 1};
}

UpdateFile SmallPackage() {
  return {"three.pak",
          PakBuilder()
              .AddImage(BinBuilder().Version("01.30").Payload(300).WithCrc(), "dsp.bin")
              .AddImage(BinBuilder().Target(1).Version("06.00").Payload(200).WithCrc(), "panel.bin")
              .AddImage(BinBuilder().Version("01.30").Payload(100).WithCrc(), "dsp-check.bin")
              .Bytes(),
          3};
}

void CheckEveryInterruption(const WorldMaker& makeWorld, const UpdateFile& file,
                            Interruption interruption) {
  const Run clean = RunOnce(makeWorld, file, interruption, std::nullopt);
  ASSERT_TRUE(clean.report.succeeded()) << cli::DescribeOutcome(clean.report).text;
  ASSERT_EQ(clean.installed, file.images);

  std::size_t falseSuccesses = 0;
  std::size_t wrongTouched = 0;
  std::size_t misuseRuns = 0;
  Millis longest{0};
  std::map<std::string, std::vector<std::size_t>> faults;  // what went wrong -> before which calls
  std::map<std::string, std::vector<std::size_t>> closedHandles;
  for (std::size_t at = 1; at <= clean.calls; ++at) {
    const Run run = RunOnce(makeWorld, file, interruption, at);
    longest = std::max(longest, run.afterInterruption.value_or(Millis{0}));
    for (const std::string& wrong : WrongClaims(run, file, interruption)) {
      faults[wrong].push_back(at);
      falseSuccesses += wrong.starts_with("false success") ? 1 : 0;
      wrongTouched += wrong.find("meter, but") != std::string::npos ? 1 : 0;
    }
    if (!run.misuse.empty()) {
      ++misuseRuns;
      closedHandles[run.misuse.front().substr(0, run.misuse.front().find('('))].push_back(at);
    }
  }
  std::printf("[ COUNTS   ] %s, %s: %zu tried, %zu false successes, %zu wrong touched/untouched "
              "claims, %zu runs naming a closed handle, longest run after it %lld ms\n",
              file.name, interruption == Interruption::kCableCut ? "cable cut" : "Ctrl+C",
              clean.calls, falseSuccesses, wrongTouched, misuseRuns,
              static_cast<long long>(longest.count()));
  const auto where = [](const std::vector<std::size_t>& calls) {
    std::string text;
    for (const std::size_t at : calls) text += " " + std::to_string(at);
    return text;
  };
  for (const auto& [wrong, calls] : faults) {
    ADD_FAILURE() << wrong << "\n  interrupted before calls:" << where(calls);
  }
  std::string misuse;
  for (const auto& [call, calls] : closedHandles) {
    misuse += "\n  first such call " + call + ", interrupted before calls:" + where(calls);
  }
  EXPECT_TRUE(misuse.empty()) << kClosedHandleFault << misuse;
}

}  // namespace quorvel::testing
