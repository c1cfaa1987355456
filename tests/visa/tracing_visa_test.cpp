// The I/O trace, read the way support reads it: a short update traced in
// virtual time must show every call the meter saw, at the times it saw them.
#include "visa/tracing_visa.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "support/update_scenario.h"

namespace quorvel::testing {
namespace {

struct TraceLine {
  double ms = 0;
  std::string call;       // "viWrite"
  std::string arguments;  // "3, count=240"
  std::string status;     // "VI_SUCCESS"
  std::string rest;
};

std::vector<TraceLine> ParseTrace(const std::string& text) {
  static const std::regex kLine(R"(^ *(\d+\.\d) ms  (\w+)\((.*?)\) -> (\S+)  \(\d+\.\d ms\)(.*)$)");
  std::vector<TraceLine> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    std::smatch match;
    EXPECT_TRUE(std::regex_match(line, match, kLine)) << "not a trace line: " << line;
    if (match.empty()) continue;
    lines.push_back({std::stod(match[1]), match[2], match[3], match[4], match[5]});
  }
  return lines;
}

class TraceTest : public UpdateScenario {
 protected:
  void AttachTracedMeter(std::string_view knobs = "") {
    AttachMeter(knobs);
    tracer = std::make_unique<TracingVisa>(*visa, clock, trace);
    services = std::make_unique<Services>(Services{*tracer, console, clock, files});
    OpenDialog();
  }
  std::vector<TraceLine> Writes() {
    std::vector<TraceLine> writes;
    for (const TraceLine& line : ParseTrace(trace.str())) {
      if (line.call == "viWrite" || line.call == "viPrintf") writes.push_back(line);
    }
    return writes;
  }

  std::ostringstream trace;
  std::unique_ptr<TracingVisa> tracer;
};

TEST_F(TraceTest, AShortUpdateShowsEveryWriteAtTheMetersTimeAndTheFrameGaps) {
  clock.Advance(Millis{250});  // the trace counts from its own start, not the clock's epoch
  AttachTracedMeter();
  const Millis traceStart{250};
  ChooseFile("/fw/dsp.bin", BinBuilder().Payload(700).WithCrc().Bytes());
  ASSERT_EQ(PressSelect(), UpdateOutcome::kInstalled) << Timeline();

  // One trace line for every write the meter took, at the same moment, with
  // the same first bytes.
  const std::vector<TraceLine> writes = Writes();
  const auto meterWrites = EventsOfKind(timeline(), TimelineKind::Write);
  ASSERT_EQ(writes.size(), meterWrites.size()) << trace.str();
  for (std::size_t i = 0; i < writes.size(); ++i) {
    EXPECT_EQ(writes[i].ms, static_cast<double>((meterWrites[i].time - traceStart).count()))
        << "write " << i;
    EXPECT_EQ(writes[i].status, "VI_SUCCESS");
    const std::size_t shown = std::min(meterWrites[i].bytes.size(), kTracedBytes);
    EXPECT_NE(writes[i].rest.find(TraceBytes({meterWrites[i].bytes.data(), shown}).substr(0, 20)),
              std::string::npos)
        << writes[i].rest;
  }

  // The data frames (240, 240 and 224 bytes): 100.0 ms apart, the first one
  // 11.1 s after "system:update".
  std::vector<double> frameTimes;
  double modeSwitch = -1;
  for (const TraceLine& line : writes) {
    if (line.rest.find("| 73 79 73 74 65 6D 3A 75") != std::string::npos) {  // "system:u"
      modeSwitch = line.ms;
      continue;
    }
    const bool endFrame = line.rest.find("| AB 00 00 00 00 00 00 01 FF FF |") != std::string::npos;
    const bool dataFrame = line.call == "viWrite" && !endFrame;
    if (dataFrame && modeSwitch >= 0) frameTimes.push_back(line.ms);
  }
  ASSERT_EQ(frameTimes.size(), 3u) << trace.str();
  EXPECT_DOUBLE_EQ(frameTimes.front() - modeSwitch, 11100.0);
  for (std::size_t i = 1; i < frameTimes.size(); ++i) {
    EXPECT_DOUBLE_EQ(frameTimes[i] - frameTimes[i - 1], 100.0) << "frame " << i;
  }
}

TEST_F(TraceTest, FailuresAppearWithTheStatusByName) {
  AttachTracedMeter("absent=1");
  const std::vector<TraceLine> lines = ParseTrace(trace.str());
  ASSERT_FALSE(lines.empty());
  const auto search = std::find_if(lines.begin(), lines.end(),
                                   [](const TraceLine& l) { return l.call == "viFindRsrc"; });
  ASSERT_NE(search, lines.end()) << trace.str();
  EXPECT_EQ(search->status, "VI_ERROR_RSRC_NFOUND");
  EXPECT_NE(search->rest.find("count=0"), std::string::npos);
}

TEST(TraceBytes, ShowsHexAndPrintableAsciiAndBoundsTheLength) {
  const struct {
    std::vector<std::uint8_t> bytes;
    std::string shown;
  } cases[] = {
      {{'*', 'i', 'd', 'n', '?', '\n'}, "| 2A 69 64 6E 3F 0A | *idn?. |"},
      {{0xAB, 0x00, 0x1B, '['}, "| AB 00 1B 5B | ...[ |"},
      {std::vector<std::uint8_t>(240, 'A'),
       "| " + [] {
         std::string hex = "41";
         for (std::size_t i = 1; i < kTracedBytes; ++i) hex += " 41";
         return hex;
       }() + " | " + std::string(kTracedBytes, 'A') + " | +176 bytes"},
  };
  for (const auto& c : cases) EXPECT_EQ(TraceBytes(c.bytes), c.shown);
  EXPECT_EQ(TraceText("USB0::\"x\"\x1b"), "\"USB0::\\x22x\\x22\\x1B\"");
  EXPECT_EQ(TraceText(nullptr), "null");
}

}  // namespace
}  // namespace quorvel::testing
