// Whole firmware updates through the real libusb path: the update procedures
// drive the usbtmc backend, libusb drives the emulated bus, and the simulated
// meter behind it checks every byte and the pacing of the frames.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>

#include "instrument/instrument_session.h"
#include "sim/timeline.h"
#include "support/firmware_builder.h"
#include "support/memory_file_system.h"
#include "support/recording_console.h"
#include "support/update_scenario.h"
#include "update/update_procedures.h"
#include "usbtmc/meter_on_usb.h"
#include "visa/usbtmc/usbtmc_visa.h"

namespace quorvel::testing {
namespace {

using std::chrono::steady_clock;

class UsbtmcWholeUpdate : public ::testing::Test {
 protected:
  // Waits longer than `realTimeLimit` run `factor` times faster.
  void Start(int factor, Millis realTimeLimit) {
    clock = std::make_unique<ScaledClock>(factor, realTimeLimit);
    bus = std::make_unique<EmulatedUsbBus>(*clock);
    std::string error;
    const auto config = SimConfig::Parse("", &error);
    ASSERT_TRUE(config) << error;
    rack = std::make_unique<MeterRack>(*bus, *config, *clock);
    procedureClock = std::make_unique<RackFollowingClock>(*clock, *rack);
    visa = UsbtmcVisa::Create(&error);
    ASSERT_TRUE(visa) << error;
    services = std::make_unique<Services>(Services{*visa, console, *procedureClock, files});
    DiscoverInstrument(*services, dialog.session, dialog.readyForUpdate);
    ASSERT_TRUE(dialog.readyForUpdate);
  }

  // Runs the Select button with `path` chosen; returns the outcome and logs the time it took.
  UpdateOutcome Update(const std::string& path, const ByteVector& file) {
    files.AddFile(path, file);
    console.chooserAnswers.push_back(path);
    const auto start = steady_clock::now();
    const UpdateOutcome outcome = RunImageUpdate(*services, dialog);
    const auto took =
        std::chrono::duration_cast<std::chrono::milliseconds>(steady_clock::now() - start);
    RecordProperty("update_wall_clock_ms", static_cast<int>(took.count()));
    std::printf("[ TIMING   ] %s took %lld ms of wall-clock time\n", path.c_str(),
                static_cast<long long>(took.count()));
    return outcome;
  }

  std::vector<ByteVector> Installed() {
    const auto lock = bus->Lock();
    std::vector<ByteVector> images;
    for (const InstalledImage& image : rack->meter(0).installedImages())
      images.push_back(image.bytes);
    return images;
  }

  std::vector<TimelineEvent> Frames() {
    const auto lock = bus->Lock();
    return DataFrames(rack->meter(0).timeline());
  }

  void ExpectEverythingClosed() {
    EXPECT_EQ(visa->OpenHandleCount(), 0);
    EXPECT_EQ(files.openFileCount(), 0);
  }

  std::unique_ptr<ScaledClock> clock;
  std::unique_ptr<EmulatedUsbBus> bus;
  std::unique_ptr<MeterRack> rack;
  std::unique_ptr<RackFollowingClock> procedureClock;
  std::unique_ptr<UsbtmcVisa> visa;
  RecordingConsole console;
  MemoryFileSystem files;
  DialogState dialog;
  std::unique_ptr<Services> services;
};

// The bulk-OUT messages that carried `frame` payloads, in order.
std::vector<WireEvent> FrameMessages(const std::vector<WireEvent>& wire,
                                     const std::vector<TimelineEvent>& frames) {
  std::vector<WireEvent> messages;
  std::size_t next = 0;
  for (const WireEvent& event : wire) {
    if (next == frames.size()) break;
    if (event.kind != WireEvent::Kind::BulkOut ||
        event.bytes.size() < 12 + frames[next].bytes.size())
      continue;
    if (std::equal(frames[next].bytes.begin(), frames[next].bytes.end(),
                   event.bytes.begin() + 12)) {
      messages.push_back(event);
      ++next;
    }
  }
  return messages;
}

TEST_F(UsbtmcWholeUpdate, BinImageIsInstalledWithFramesPacedInRealTime) {
  // The 100 ms waits stay real; the seconds of settling pass 50 times faster.
  Start(50, Millis{150});
  const BinBuilder image = BinBuilder().Version("01.21").Target(0).Payload(1000).WithCrc();
  EXPECT_EQ(Update("/fw/dsp.bin", image.Bytes()), UpdateOutcome::kInstalled);

  EXPECT_EQ(Installed(), std::vector<ByteVector>{image.Body()});
  const std::vector<TimelineEvent> frames = Frames();
  std::vector<std::size_t> sizes;
  for (const TimelineEvent& frame : frames) sizes.push_back(frame.bytes.size());
  EXPECT_EQ(sizes, (std::vector<std::size_t>{240, 240, 240, 240, 44}));

  const auto lock = bus->Lock();
  const std::vector<WireEvent> messages = FrameMessages(bus->wire(), frames);
  ASSERT_EQ(messages.size(), frames.size());
  for (std::size_t i = 1; i < messages.size(); ++i) {
    // Wall-clock arrival at the device: the meter needs 100 ms between frames.
    EXPECT_GE(messages[i].at - messages[i - 1].at, std::chrono::milliseconds(100)) << "frame " << i;
  }
  // Each frame is one DEV_DEP_MSG_OUT in one URB, and nothing else crosses the
  // wire between two frames.
  for (std::size_t i = 0; i + 1 < messages.size(); ++i) {
    const auto from = std::find_if(bus->wire().begin(), bus->wire().end(),
                                   [&](const WireEvent& e) { return e.at == messages[i].at; });
    ASSERT_NE(from, bus->wire().end());
    EXPECT_EQ((from + 1)->at, messages[i + 1].at)
        << "URBs between frames " << i << " and " << i + 1;
  }
  std::vector<std::string> expectedLog = SuccessLines("dsp.bin");
  for (const std::string& line : ClosingLines()) expectedLog.push_back(line);
  EXPECT_EQ(console.LogLines(), expectedLog);
}

TEST_F(UsbtmcWholeUpdate, PackageOfThreeImagesIsInstalledImageByImage) {
  // Every wait runs 50 times faster; the meter's clock still shows the
  // prescribed waits.
  Start(50, Millis{0});
  PakBuilder builder;
  for (int k = 1; k <= 3; ++k) {
    BinBuilder part = BinBuilder().Version(k == 3 ? "01.30" : "00.10");
    part.Payload(static_cast<std::size_t>(200 + 150 * k)).WithCrc();
    builder.AddImage(part, "image" + std::to_string(k) + ".bin");
  }
  const ByteVector pak = builder.Bytes();
  EXPECT_EQ(Update("/fw/pack.pak", pak), UpdateOutcome::kInstalled);

  const std::vector<ByteVector> sent = ImagesSentByPackageUpdate(pak);
  EXPECT_EQ(Installed(), sent);
  // The wait before each frame: 100 ms, but 10 ms before the last chunk of
  // images 2 onward.
  std::vector<Millis> waits;
  for (std::size_t k = 0; k < sent.size(); ++k) {
    const std::size_t chunks = (sent[k].size() + 239) / 240;
    for (std::size_t c = 1; c <= chunks; ++c) {
      waits.push_back(k > 0 && c == chunks ? Millis{10} : Millis{100});
    }
  }
  const std::vector<TimelineEvent> frames = Frames();
  ASSERT_EQ(frames.size(), waits.size());
  for (std::size_t i = 1; i < frames.size(); ++i) {
    EXPECT_GE(frames[i].time - frames[i - 1].time, waits[i]) << "frame " << i;
  }
  ExpectEverythingClosed();
}

}  // namespace
}  // namespace quorvel::testing
