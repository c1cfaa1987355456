// Every fault the simulated meter can make, against an image and a package,
// with and without verification: what the pipeline concludes is held against
// what the meter itself went through. A claim of success needs every image
// installed (and, verified, the file's versions running); a failure needs an
// image that did not go in; "unconfirmed" needs an end frame that really got
// no reply.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "fleet/meter_pipeline.h"
#include "instrument/identity.h"
#include "sim/sim_visa.h"
#include "support/firmware_builder.h"
#include "support/memory_file_system.h"

namespace quorvel::testing {
namespace {

class QuietObserver final : public FleetObserver {
 public:
  void Line(std::size_t, std::string_view) override {}
  void Progress(std::size_t, const ProgressReport&) override {}
  void Finished(std::size_t, const UpdateReport&) override {}
};

// A file, and the versions it promises as they sit in the identity's last
// eleven characters ("01.21.05.12": DSP at 0, Panel at 6, MSP 430 at 9).
struct FileKind {
  const char* name;
  ByteVector bytes;
  std::vector<std::pair<std::size_t, std::string>> promises;
};

// As the build's samples are made: firmware that names its own version.
FileKind Image(bool spoilt) {
  ByteVector bytes =
      BinBuilder().Version("01.21").Payload(4092).RecordVersionInPayload().WithCrc().Bytes();
  if (spoilt) bytes[100] ^= 0x01;
  return {"dsp.bin", bytes, {{0, "01.21"}}};
}

FileKind Package(bool spoilt) {
  // Sent whole, header included: its checksum covers the header too.
  ByteVector panel =
      BinBuilder().Target(1).Version("06.00").Payload(700).WithCrc(CrcCovers::kWholeImage).Bytes();
  if (spoilt) panel[100] ^= 0x01;
  return {"three.pak",
          PakBuilder()
              .AddImage(BinBuilder().Version("01.30").Payload(1500).WithCrc(), "dsp.bin")
              .AddImage(panel, "panel.bin")
              .AddImage(BinBuilder().Version("01.30").Payload(400).WithCrc(), "dsp-check.bin")
              .Bytes(),
          {{0, "01.30"}, {6, "06"}}};
}

struct Fault {
  std::string knobs;
  bool spoiltFile = false;  // the file's checksum is wrong
};

// The faults, one a line, as scripts/fault-matrix reads them too.
constexpr std::string_view kFaultList =
#include "fault_knobs.inc"
    ;

std::vector<Fault> Faults() {
  std::vector<Fault> faults;
  std::istringstream lines{std::string(kFaultList)};
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string knobs;
    std::string flag;
    if (!(words >> knobs) || knobs.starts_with('#')) continue;
    words >> flag;
    faults.push_back({knobs == "-" ? "" : knobs, flag == "spoilt"});
  }
  return faults;
}

struct Row {
  Fault fault;
  bool package;
  bool verify;
  std::string Name() const {
    return "knobs \"" + fault.knobs + "\"" + (fault.spoiltFile ? " (spoilt file)" : "") + ", " +
           (package ? ".pak" : ".bin") + (verify ? ", --verify" : "");
  }
};

// Every fault with both kinds of file, with and without verification.
std::vector<Row> EveryRow() {
  std::vector<Row> rows;
  for (const Fault& fault : Faults()) {
    for (const bool package : {false, true}) {
      for (const bool verify : {false, true}) rows.push_back({fault, package, verify});
    }
  }
  return rows;
}

// The identity's version tail as a fresh session reads it, patiently; none
// when the meter is not on the bus in its normal mode.
std::optional<std::string> VersionTailNow(SimVisa& sim) {
  if (sim.meterCount() == 0 || sim.meter(0).mode() != SimMode::Normal) return std::nullopt;
  ViSession rm = VI_NULL;
  ViSession session = VI_NULL;
  const std::string name = sim.meter(0).resourceName();
  if (sim.viOpenDefaultRM(&rm) != VI_SUCCESS) return std::nullopt;
  std::string identity;
  if (sim.viOpen(rm, name.c_str(), 0, 0, &session) == VI_SUCCESS) {
    sim.viSetAttribute(session, VI_ATTR_TMO_VALUE, 60'000);
    ViUInt32 count = 0;
    sim.viWrite(session, reinterpret_cast<const ViByte*>("*idn?\n"), 6, &count);
    std::array<ViByte, 256> reply{};
    if (ViSucceeded(sim.viRead(session, reply.data(), reply.size(), &count))) {
      identity.assign(reinterpret_cast<const char*>(reply.data()), count);
    }
  }
  sim.viClose(rm);
  while (identity.ends_with('\n') || identity.ends_with('\r')) identity.pop_back();
  if (identity.size() < kVersionTailLength) return std::nullopt;
  return identity.substr(identity.size() - kVersionTailLength);
}

// What the meter went through, from its own record.
struct Truth {
  bool switched = false;
  std::vector<InstalledImage> installed;
  bool installedEvery = false;  // every image a healthy meter installs of the file
  bool endFrameUnanswered = false;
  std::optional<std::string> runs;  // its version tail when the run ended

  std::string Text() const {
    return std::string(switched ? "switched" : "not switched") + ", installed " +
           std::to_string(installed.size()) + (installedEvery ? " (every image)" : "") +
           (endFrameUnanswered ? ", an end frame unanswered" : "") + ", runs " +
           runs.value_or("(not in normal mode)");
  }
};

Truth WhatTheMeterDid(SimVisa& sim) {
  Truth truth;
  if (sim.meterCount() == 0) return truth;
  SimMeter& meter = sim.meter(0);
  bool endFramePending = false;
  for (const TimelineEvent& event : meter.timeline()) {
    if (event.kind == TimelineKind::Write) {
      truth.switched = truth.switched || event.text() == "system:update\n";
      endFramePending = event.role == WriteRole::EndFrame;
    }
    if (event.kind == TimelineKind::Read || event.kind == TimelineKind::ReadTimedOut) {
      truth.endFrameUnanswered =
          truth.endFrameUnanswered || (endFramePending && event.bytes.empty());
      endFramePending = false;
    }
  }
  truth.installed = meter.installedImages();
  truth.runs = VersionTailNow(sim);
  return truth;
}

struct RowRun {
  UpdateReport report;
  Truth truth;
  std::optional<std::string> runsBefore;
};

RowRun RunRow(const std::string& knobs, const FileKind& file, bool verify) {
  std::string error;
  const auto config = SimConfig::Parse(knobs, &error);
  EXPECT_TRUE(config) << knobs << ": " << error;
  VirtualClock clock;
  SimVisa sim(config.value_or(SimConfig{}), clock);
  MemoryFileSystem files;
  const std::string path = std::string("/fw/") + file.name;
  files.AddFile(path, file.bytes);
  const FleetRequest request{
      .path = path,
      .resources = {sim.meterCount() > 0 ? sim.meter(0).resourceName() : ""},
      .verify = verify,
      .answerYes = true,
  };
  QuietObserver observer;
  RowRun run;
  run.runsBefore = VersionTailNow(sim);
  run.report = RunMeterPipeline(sim, clock, files, request, 0, observer);
  run.truth = WhatTheMeterDid(sim);
  return run;
}

bool SameImages(const std::vector<InstalledImage>& a, const std::vector<InstalledImage>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](const auto& x, const auto& y) { return x.bytes == y.bytes; });
}

std::string Claim(const UpdateReport& report) {
  std::string claim(OutcomeName(report));
  if (report.verification != Verification::kNotAsked) claim += ", " + report.verificationText;
  if (!report.reason.empty()) claim += " (" + report.reason + ")";
  return claim;
}

bool IsFailure(UpdateOutcome outcome) {
  return outcome != UpdateOutcome::kInstalled && outcome != UpdateOutcome::kUnconfirmed;
}

struct Misclaims {
  std::vector<std::string> falseSuccesses;
  std::vector<std::string> falseFailures;
  std::vector<std::string> otherwise;
};

// What the report says that the meter's record contradicts.
Misclaims Judge(const RowRun& run, const FileKind& file, bool verify) {
  const UpdateReport& report = run.report;
  const Truth& truth = run.truth;
  std::optional<std::string> promised = run.runsBefore;
  for (const auto& [position, version] : file.promises) {
    if (promised) promised->replace(position, version.size(), version);
  }
  const bool runsTheFile = truth.runs && truth.runs == promised;
  Misclaims wrong;
  if (report.succeeded() && !truth.installedEvery) wrong.falseSuccesses.push_back("not installed");
  if (report.succeeded() && verify && !runsTheFile)
    wrong.falseSuccesses.push_back("not running it");
  if (report.outcome == UpdateOutcome::kInstalled && !truth.installedEvery) {
    wrong.falseSuccesses.push_back("\"installed\", yet not every image went in");
  }
  // A single image needs the meter's word after its end frame: silence fails
  // it even when the meter did install it.
  const bool silentEnd = report.step == TransferStep::kEndStatusNotRead && !report.package;
  if (IsFailure(report.outcome) && truth.installedEvery &&
      !(silentEnd && truth.endFrameUnanswered)) {
    wrong.falseFailures.push_back("a failure, yet every image went in");
  }
  if (report.outcome == UpdateOutcome::kUnconfirmed && !truth.endFrameUnanswered) {
    wrong.otherwise.push_back("unconfirmed, yet every end frame was answered");
  }
  if (report.switchedToUpdateMode != truth.switched) {
    wrong.otherwise.push_back(truth.switched ? "switched, yet not said" : "said switched, yet not");
  }
  const bool reachedTheEnd = !IsFailure(report.outcome);
  if (verify && reachedTheEnd) {
    switch (report.verification) {
      case Verification::kVerified:
        break;  // a success, judged above
      case Verification::kNotVerified:
        if (!truth.runs || runsTheFile)
          wrong.falseFailures.push_back("not verified, yet it runs the file");
        break;
      case Verification::kDidNotComeBack:
        if (truth.runs) wrong.falseFailures.push_back("did not come back, yet it is back");
        break;
      case Verification::kNotAsked:
        wrong.otherwise.push_back("--verify was not done");
        break;
    }
  }
  return wrong;
}

TEST(FaultMatrix, EveryClaimMatchesWhatTheMeterWentThrough) {
  const FileKind kinds[2][2] = {{Image(false), Image(true)}, {Package(false), Package(true)}};
  // What a healthy meter installs of each file: the images a claim of success
  // needs. A spoilt file's go in on a meter that checks no checksum.
  std::vector<InstalledImage> healthyInstall[2][2];
  for (const bool package : {false, true}) {
    for (const bool spoilt : {false, true}) {
      const RowRun run = RunRow(spoilt ? "verify=0" : "", kinds[package][spoilt], false);
      ASSERT_TRUE(run.report.succeeded()) << Claim(run.report);
      ASSERT_EQ(run.truth.installed.size(), package ? 3u : 1u);
      healthyInstall[package][spoilt] = run.truth.installed;
    }
  }

  const std::vector<Row> rows = EveryRow();
  ASSERT_GE(rows.size(), 4u * 40) << "the list names over forty faults";
  std::size_t falseSuccesses = 0;
  std::size_t falseFailures = 0;
  for (const Row& row : rows) {
    const FileKind& file = kinds[row.package][row.fault.spoiltFile];
    RowRun run = RunRow(row.fault.knobs, file, row.verify);
    run.truth.installedEvery =
        SameImages(run.truth.installed, healthyInstall[row.package][row.fault.spoiltFile]);
    const Misclaims wrong = Judge(run, file, row.verify);
    falseSuccesses += wrong.falseSuccesses.empty() ? 0 : 1;
    falseFailures += wrong.falseFailures.empty() ? 0 : 1;
    for (const auto* list : {&wrong.falseSuccesses, &wrong.falseFailures, &wrong.otherwise}) {
      for (const std::string& what : *list) {
        ADD_FAILURE() << row.Name() << ": " << what << "\n  claimed: " << Claim(run.report)
                      << "\n  the meter: " << run.truth.Text();
      }
    }
  }
  EXPECT_EQ(falseSuccesses, 0u) << "of " << rows.size() << " rows";
  EXPECT_EQ(falseFailures, 0u) << "of " << rows.size() << " rows";
}

}  // namespace
}  // namespace quorvel::testing
