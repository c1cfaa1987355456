#pragma once
// `doctor`: why the meter cannot be reached, found out on the machine where it
// happens. Checks in order the installed VISA libraries, USB, the meters each
// working backend finds and the history file, each with a verdict and, where
// something is wrong, what to do about it.
#include <string>
#include <string_view>
#include <vector>

#include "common/clock.h"
#include "common/json_text.h"

namespace quorvel {

enum class Verdict { kOk, kWarning, kProblem };

// "ok", "warning", "problem"
std::string_view VerdictName(Verdict verdict);

struct DoctorCheck {
  std::string area;     // "VISA library", "USB", "Meters", "History file"
  std::string subject;  // the file, device or backend looked at
  Verdict verdict = Verdict::kOk;
  std::string finding;  // what is true
  std::string advice;   // what to do; empty when the verdict is ok
  Json facts = Json::object();  // the same as data
};

struct DoctorRequest {
  // The backend the other commands would use ("usbtmc", "system:path=FILE", "sim:...").
  std::string backend;
  Clock& clock;
  // The clock for a backend that serves a simulated meter (--time-scale);
  // a real meter always gets `clock`.
  Clock& simulatedClock;
};

struct DoctorReport {
  std::vector<DoctorCheck> checks;
  bool defaultBackendReachesMeter = false;  // it found a meter that said who it is
};

DoctorReport RunDoctor(const DoctorRequest& request);

}  // namespace quorvel
