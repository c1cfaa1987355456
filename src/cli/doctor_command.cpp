#include "cli/doctor_command.h"

#include <memory>

#include "common/scaled_clock.h"
#include "common/printable_text.h"
#include "common/message_text.h"
#include "doctor/doctor.h"

namespace quorvel::cli {

namespace {

// The verdict column is as wide as its longest word; "what to do" lines start under the finding.
constexpr std::string_view kIndent = "  ";
constexpr std::size_t kVerdictWidth = 9;

std::string RenderText(const DoctorReport& report, const std::string& backend) {
  std::string text;
  std::string area;
  for (const DoctorCheck& check : report.checks) {
    if (check.area != area) {
      area = check.area;
      text += area + "\n";
    }
    std::string verdict(VerdictName(check.verdict));
    verdict.resize(kVerdictWidth, ' ');
    text += std::string(kIndent) + verdict + PrintableField(check.subject) + ": " +
            PrintableField(check.finding) + "\n";
    if (!check.advice.empty()) {
      text += std::string(kIndent) + std::string(kVerdictWidth, ' ') + "what to do: " +
              PrintableField(check.advice) + "\n";
    }
  }
  text += "The backend in use, \"" + PrintableField(backend) + "\", " +
          (report.defaultBackendReachesMeter ? "reaches a meter.\n" : "reaches no meter.\n");
  return text;
}

Json RenderJson(const DoctorReport& report, const std::string& backend) {
  Json checks = Json::array();
  for (const DoctorCheck& check : report.checks) {
    checks.push_back({{"area", check.area},
                      {"subject", JsonString(check.subject)},
                      {"verdict", std::string(VerdictName(check.verdict))},
                      {"finding", JsonString(check.finding)},
                      {"whatToDo", check.advice.empty() ? Json(nullptr) : JsonString(check.advice)},
                      {"facts", check.facts}});
  }
  return Json{{"backend", JsonString(backend)},
              {"reachesMeter", report.defaultBackendReachesMeter},
              {"checks", std::move(checks)}};
}

}  // namespace

ExitStatus RunDoctorCommand(const BackendRequest& backend, bool asJson, Streams streams) {
  if (!IsVisaBackendName(backend.name)) {
    std::string error;
    SteadyClock unused;
    MakeVisaLibrary(backend.name, unused, &error);  // says which backends there are
    return Fail(streams, ExitStatus::kBadArguments, error);
  }
  if (backend.timeScale && !IsUsableTimeScale(*backend.timeScale)) {
    return Fail(streams, ExitStatus::kBadArguments, "--time-scale must lie between 0.001 and 1");
  }
  SteadyClock steady;
  // The time scale shortens the waits of a simulated meter only; a real
  // meter is always given its full time to answer.
  std::unique_ptr<Clock> scaled;
  if (backend.timeScale) scaled = std::make_unique<ScaledClock>(*backend.timeScale);
  const DoctorReport report =
      RunDoctor({.backend = backend.name, .clock = steady, .simulatedClock = scaled ? *scaled : steady});

  streams.out << (asJson ? JsonDocument(RenderJson(report, backend.name))
                         : RenderText(report, backend.name))
              << std::flush;
  if (!streams.out) return Fail(streams, ExitStatus::kFailure, "cannot write the output.");
  return report.defaultBackendReachesMeter ? ExitStatus::kSuccess : ExitStatus::kNoMeter;
}

}  // namespace quorvel::cli
