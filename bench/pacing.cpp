// Pacing benchmark: a real-clock single-image update and a package update of a
// few kilobytes against the simulated meter. Run by hand:
//   build/release/bench/pacing
// Prints the ratio of the measured duration to the prescribed waits, the
// smallest, median and largest gap between data frames, and the CPU time over
// wall time during the data phase (waiting must never spin).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <optional>
#include <vector>

#include "common/clock.h"
#include "common/silent_console.h"
#include "firmware/file_source.h"
#include "sim/sim_visa.h"
#include "sim/timeline.h"
#include "process_times.h"
#include "support/firmware_builder.h"
#include "update/update_procedures.h"

namespace quorvel {
namespace {

using bench::CpuSeconds;
using bench::WallSeconds;

// A console nobody looks at: answers the chooser and measures the data phase,
// from the first progress report to the last.
class BenchConsole final : public SilentConsole {
 public:
  explicit BenchConsole(std::string path) : path_(std::move(path)) {}
  MessageResult ShowMessageBox(const MessageBoxRequest& request) override {
    std::fprintf(stderr, "box: %s\n", request.text.c_str());
    return MessageResult::kOk;
  }
  std::optional<std::string> ChooseFile(std::string_view) override { return path_; }
  void ReportProgress(const ProgressReport& report) override {
    const double cpu = CpuSeconds();
    const double wall = WallSeconds();
    if (!started_) {
      started_ = true;
      cpuStart_ = cpu;
      wallStart_ = wall;
    }
    cpuEnd_ = cpu;
    wallEnd_ = wall;
    (void)report;
  }
  double DataPhaseCpuShare() const {
    return wallEnd_ > wallStart_ ? (cpuEnd_ - cpuStart_) / (wallEnd_ - wallStart_) : 0.0;
  }

 private:
  std::string path_;
  bool started_ = false;
  double cpuStart_ = 0, cpuEnd_ = 0, wallStart_ = 0, wallEnd_ = 0;
};

struct Result {
  double measuredMs = 0;
  double prescribedMs = 0;
  std::vector<long> gaps;
  std::vector<long> shortGaps;
  double cpuShare = 0;
};

std::size_t Chunks(std::size_t length) { return (length + 239) / 240; }

Result Run(const std::string& path, double prescribedMs, bool shortLastChunks = false) {
  SteadyClock clock;
  std::string error;
  SimVisa sim(*SimConfig::Parse("", &error), clock);
  BenchConsole console(path);
  DiskFileSystem files;
  Services services{sim, console, clock, files};
  DialogState dialog;
  DiscoverInstrument(services, dialog.session, dialog.readyForUpdate);

  const auto start = std::chrono::steady_clock::now();
  const UpdateOutcome outcome = RunImageUpdate(services, dialog);
  const auto end = std::chrono::steady_clock::now();
  if (outcome != UpdateOutcome::kInstalled) std::fprintf(stderr, "update did not succeed\n");

  Result result;
  result.measuredMs = std::chrono::duration<double, std::milli>(end - start).count();
  result.prescribedMs = prescribedMs;
  // Gaps between consecutive data frames of the same image. Before the last
  // chunk of a package's images 2 onward the prescribed wait is 10 ms; those
  // gaps are kept apart from the 100 ms ones.
  std::optional<Millis> previous;
  std::vector<long> imageGaps;
  int image = 1;
  for (const TimelineEvent& event : sim.meter(0).timeline()) {
    if (event.role == WriteRole::EndFrame) {
      if (shortLastChunks && image > 1 && !imageGaps.empty()) {
        result.shortGaps.push_back(imageGaps.back());
        imageGaps.pop_back();
      }
      result.gaps.insert(result.gaps.end(), imageGaps.begin(), imageGaps.end());
      imageGaps.clear();
      ++image;
      previous.reset();
    }
    if (event.kind != TimelineKind::Write || event.role != WriteRole::DataFrame) continue;
    if (previous) imageGaps.push_back(static_cast<long>((event.time - *previous).count()));
    previous = event.time;
  }
  result.gaps.insert(result.gaps.end(), imageGaps.begin(), imageGaps.end());
  result.cpuShare = console.DataPhaseCpuShare();
  return result;
}

void Print(const char* name, Result result) {
  std::sort(result.gaps.begin(), result.gaps.end());
  const long smallest = result.gaps.empty() ? 0 : result.gaps.front();
  const long median = result.gaps.empty() ? 0 : result.gaps[result.gaps.size() / 2];
  const long largest = result.gaps.empty() ? 0 : result.gaps.back();
  std::printf("%s: measured %.0f ms, prescribed %.0f ms, ratio %.4f, gaps min/median/max %ld/%ld/%ld ms, data-phase CPU %.2f%%\n",
              name, result.measuredMs, result.prescribedMs,
              result.measuredMs / result.prescribedMs, smallest, median, largest,
              100.0 * result.cpuShare);
  if (!result.shortGaps.empty()) {
    std::sort(result.shortGaps.begin(), result.shortGaps.end());
    std::printf("%s: 10 ms waits before last chunks: min/max %ld/%ld ms\n", name,
                result.shortGaps.front(), result.shortGaps.back());
  }
}

}  // namespace
}  // namespace quorvel

int main() {
  using namespace quorvel;
  using namespace quorvel::testing;
  TempDir dir;

  // Single image: 4 KB of payload.
  const BinBuilder image = BinBuilder().Version("01.21").Payload(4096 - 4).WithCrc();
  const std::string binPath = dir.Write("bench.bin", image.Bytes());
  const std::size_t frames = Chunks(image.Body().size());
  const double imageWaits = 530 + 500 + 2000 + 5000 + 2000 + 2000 + 100.0 * static_cast<double>(frames) + 2300;
  const Result single = Run(binPath, imageWaits);
  Print("image", single);

  // Package: three images of about 1.5 KB each.
  PakBuilder pak;
  pak.AddImage(BinBuilder().Version("01.30").Payload(1500).WithCrc());
  pak.AddImage(BinBuilder().Version("01.30").Payload(1500).WithCrc());
  pak.AddImage(BinBuilder().Version("01.30").Payload(1500).WithCrc());
  const ByteVector pakBytes = pak.Bytes();
  const std::string pakPath = dir.Write("bench.pak", pakBytes);
  double packageWaits = 1030 + 5000 + 500 + 500 + 4000 + 5000;
  const auto sent = ImagesSentByPackageUpdate(pakBytes);
  for (std::size_t k = 0; k < sent.size(); ++k) {
    const std::size_t length = sent[k].size();
    const std::size_t last = length - 240 * ((length - 1) / 240);
    const bool flush = last == 52 || last == 116 || last == 180;
    const double chunks = static_cast<double>(Chunks(length));
    packageWaits += (k == 0 ? 100.0 * chunks : 100.0 * (chunks - 1) + 10) + (flush ? 100 : 0) +
                    200 + (k == 0 ? 200 : 10);
  }
  const Result package = Run(pakPath, packageWaits, /*shortLastChunks=*/true);
  Print("package", package);

  Result all = single;
  all.measuredMs += package.measuredMs;
  all.prescribedMs += package.prescribedMs;
  all.gaps.insert(all.gaps.end(), package.gaps.begin(), package.gaps.end());
  all.shortGaps = package.shortGaps;
  all.cpuShare = std::max(single.cpuShare, package.cpuShare);
  Print("total", all);
  return 0;
}
