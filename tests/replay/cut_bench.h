#pragma once
// Cut at every moment: an update run again and again, its meter's cable
// pulled (or Ctrl+C pressed) before VISA call 1, then call 2, ... to the last,
// and each time what the tool then claims is held against what the meter
// really went through.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/clock.h"
#include "history/update_history.h"
#include "sim/sim_meter.h"
#include "support/firmware_builder.h"
#include "update/update_report.h"
#include "visa/forwarding_visa.h"

namespace quorvel::testing {

// One meter on one backend, fresh for every run.
class MeterWorld {
 public:
  virtual ~MeterWorld() = default;
  virtual VisaLibrary& visa() = 0;
  virtual Clock& clock() = 0;  // the clock the procedures wait on
  virtual std::string resource() = 0;
  // Pulls the meter's cable: it leaves the bus for good.
  virtual void PullPlug() = 0;
  // The truth: whether the meter took "system:update", and the images it installed.
  virtual bool Switched() = 0;
  virtual std::size_t InstalledImages() = 0;
};
using WorldMaker = std::function<std::unique_ptr<MeterWorld>()>;

enum class Interruption { kCableCut, kCtrlC };

// Passes every call on, interrupting the run just before call `at` (1-based),
// and notes every call that names a handle that is not open.
class InterruptingVisa final : public ForwardingVisaLibrary {
 public:
  InterruptingVisa(VisaLibrary& inner, std::optional<std::size_t> at,
                   std::function<void()> interrupt);

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

  std::size_t calls() const { return calls_; }
  const std::vector<std::string>& misuse() const { return misuse_; }

 private:
  void Next(const char* call, std::optional<ViObject> handle);
  void Opened(ViStatus status, ViObject handle, std::optional<ViObject> parent = {});

  std::optional<std::size_t> at_;
  std::function<void()> interrupt_;
  std::size_t calls_ = 0;
  std::set<ViObject> open_;
  std::vector<std::pair<ViObject, ViObject>> children_;  // (parent, child)
  std::vector<std::string> misuse_;
};

struct UpdateFile {
  const char* name;  // "dsp.bin", "three.pak"
  ByteVector bytes;
  std::size_t images;
};
UpdateFile SmallImage();
UpdateFile SmallPackage();

// A file kind and how its update is interrupted: one CTest entry each.
struct CutScenario {
  const char* name;
  UpdateFile (*file)();
  Interruption interruption;
};
inline constexpr CutScenario kCutScenarios[] = {
    {"ImageCableCut", SmallImage, Interruption::kCableCut},
    {"ImageCtrlC", SmallImage, Interruption::kCtrlC},
    {"PackageCableCut", SmallPackage, Interruption::kCableCut},
    {"PackageCtrlC", SmallPackage, Interruption::kCtrlC},
};
inline void PrintTo(const CutScenario& scenario, std::ostream* out) { *out << scenario.name; }
inline std::string CutScenarioName(const ::testing::TestParamInfo<CutScenario>& scenario) {
  return scenario.param.name;
}

// Runs every interruption of `file`'s update and checks each; reports the
// counts on standard output. Rows that fail only for a fault already known
// and being mended elsewhere are left to `knownFault`, which names it.
void CheckEveryInterruption(const WorldMaker& makeWorld, const UpdateFile& file,
                            Interruption interruption);

}  // namespace quorvel::testing
