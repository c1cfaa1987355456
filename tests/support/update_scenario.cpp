#include "support/update_scenario.h"

#include <algorithm>

namespace quorvel::testing {

void UpdateScenario::AttachMeter(std::string_view knobs) {
  std::string error;
  std::optional<SimConfig> config = SimConfig::Parse(knobs, &error);
  ASSERT_TRUE(config) << error;
  sim = std::make_unique<SimVisa>(*config, clock);
  visa = std::make_unique<FaultyVisa>(*sim);
  services = std::make_unique<Services>(Services{*visa, console, clock, files});
  console.now = [this] { return clock.Now(); };
}

void UpdateScenario::OpenDialog() {
  dialog.readyForUpdate = false;
  DiscoverInstrument(*services, dialog.session, dialog.readyForUpdate);
}

void UpdateScenario::ChooseFile(const std::string& path, std::span<const std::uint8_t> bytes) {
  files.AddFile(path, bytes);
  console.chooserAnswers.push_back(path);
}

std::vector<std::string> UpdateScenario::textWrites() {
  std::vector<std::string> texts;
  for (const TimelineEvent& event : timeline()) {
    if (event.kind == TimelineKind::Write && event.role == WriteRole::Text) {
      texts.push_back(event.text());
    }
  }
  return texts;
}

bool UpdateScenario::meterReceived(std::string_view text) {
  const std::vector<std::string> texts = textWrites();
  return std::find(texts.begin(), texts.end(), text) != texts.end();
}

bool UpdateScenario::appended(std::string_view text) const {
  return std::find(console.appended.begin(), console.appended.end(), text) !=
         console.appended.end();
}

void UpdateScenario::ExpectFinished(const std::vector<std::string>& outcomeLines) {
  std::vector<std::string> expected = outcomeLines;
  for (const std::string& line : ClosingLines()) expected.push_back(line);
  EXPECT_EQ(logLines(), expected);
  EXPECT_EQ(console.select, (ButtonState{"Continue", true, true}));
  EXPECT_EQ(console.exit, (ButtonState{"OK", true, true}));
  EXPECT_FALSE(dialog.readyForUpdate);
  EXPECT_EQ(sim->OpenHandleCount(), 0) << "every VISA session is closed";
  EXPECT_EQ(files.openFileCount(), 0) << "every file is closed";
  ASSERT_FALSE(console.progress.empty());
  EXPECT_TRUE(console.progress.back().finished) << "the progress display is told the end";
}

std::vector<std::string> ClosingLines() {
  return {"After instrument power is recycled, if you want to update another binary",
          "file, please press the \"Continue\" button, otherwise press the \"OK\" button",
          "to exit."};
}

std::vector<std::string> SuccessLines(const std::string& fileName) {
  return {"\"" + fileName + "\" update completed. Please recycle power on instrument", "now.",
          ""};
}

std::vector<std::string> FailureLines(const std::string& fileName) {
  return {"\"" + fileName + "\" firmware update failure! Please recycle power on",
          "instrument now and Try again.", ""};
}

ByteVector ImageWithCrc(std::size_t size, std::uint8_t seed) {
  ByteVector bytes = PatternBytes(size >= 4 ? size - 4 : 0, seed);
  AppendLittleEndian32(bytes, Crc32(bytes));
  bytes.resize(size);
  return bytes;
}

}  // namespace quorvel::testing
