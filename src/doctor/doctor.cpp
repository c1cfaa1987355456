#include "doctor/doctor.h"

#include <algorithm>
#include <array>
#include <fstream>
#include <optional>

#include "backends/backends.h"
#include "common/silent_console.h"
#include "common/utf8_path.h"
#include "firmware/file_source.h"
#include "history/history_file.h"
#include "instrument/meter_query.h"
#include "visa/resource_name.h"
#include "visa/status_names.h"
#include "visa/system/library_probe.h"
#ifndef _WIN32
#include "visa/usbtmc/usb_survey.h"
#include "visa/usbtmc/usbtmc_permission.h"
#endif

namespace quorvel {

namespace {

constexpr const char* kLibraryArea = "VISA library";
constexpr const char* kUsbArea = "USB";
constexpr const char* kMeterArea = "Meters";
constexpr const char* kHistoryArea = "History file";

std::string_view BackendBase(std::string_view backend) {
  return backend.substr(0, backend.find(':'));
}

std::string_view BackendOptions(std::string_view backend) {
  const std::size_t colon = backend.find(':');
  return colon == std::string_view::npos ? std::string_view{} : backend.substr(colon + 1);
}

std::string Joined(const std::vector<std::string>& parts, std::string_view separator) {
  std::string joined;
  for (const std::string& part : parts) {
    if (!joined.empty()) joined += separator;
    joined += part;
  }
  return joined;
}

Json JsonStrings(const std::vector<std::string>& texts) {
  Json array = Json::array();
  for (const std::string& text : texts) array.push_back(JsonString(text));
  return array;
}

// ---- The installed VISA library ----

std::string LibraryAdvice(const LibraryProbe& probe) {
  const BinaryArchitecture program = ProgramArchitecture();
  if (probe.wrongArchitecture()) {
    return "Install the " + std::to_string(program.bits) + "-bit (" + program.machine +
           ") VISA library of your meter's vendor, or name it with " + kVisaLibraryVariable + "=FILE";
  }
  if (!probe.missingDependencies.empty()) {
    return "Install what provides " + Joined(probe.missingDependencies, ", ") +
           " (usually the VISA vendor's runtime), or reinstall the VISA library";
  }
  if (!probe.loaded) {
    return std::string("Reinstall the VISA library, or name a working one with ") +
           kVisaLibraryVariable + "=FILE";
  }
  if (!probe.missingFunctions.empty()) {
    return std::string("This is not a complete VISA library: name your vendor's own with ") +
           kVisaLibraryVariable + "=FILE";
  }
  return "The VISA installation is not set up or is broken: run its vendor's configuration tool "
         "or reinstall it";
}

std::string ImplementationWords(const LibraryProbe& probe) {
  if (probe.manufacturer.empty() && !probe.implementationVersion && !probe.visaVersion) {
    return "it does not say who made it";
  }
  std::string words = "made by " + (probe.manufacturer.empty() ? std::string("an unnamed vendor")
                                                              : probe.manufacturer);
  if (probe.implementationVersion) words += ", version " + VisaVersionText(*probe.implementationVersion);
  if (probe.visaVersion) words += ", implements VISA " + VisaVersionText(*probe.visaVersion);
  return words;
}

std::string ProbeFinding(const LibraryProbe& probe) {
  if (!probe.present()) return "not found (" + probe.candidate.origin + ")";
  std::string finding = probe.candidate.origin;
  // Where the loader found a bare name; a path is where it says.
  const bool bareName = probe.candidate.file.find_first_of("/\\") == std::string::npos;
  if (bareName && !probe.location.empty()) finding += ", found at " + probe.location;
  finding += "; " + (probe.architecture ? probe.architecture->Describe()
                                        : std::string("not a library this program recognises"));
  if (probe.wrongArchitecture()) {
    return finding + ": this program is " + ProgramArchitecture().Describe() + " and cannot load it";
  }
  if (!probe.loaded) {
    finding += "; does not load: " + probe.loadError;
    if (!probe.missingDependencies.empty()) {
      finding += "; it needs " + Joined(probe.missingDependencies, ", ") + ", which cannot be found";
    }
    return finding;
  }
  if (!probe.missingFunctions.empty()) {
    return finding + "; loads, but lacks " + Joined(probe.missingFunctions, ", ");
  }
  if (!probe.usable()) {
    return finding + "; loads and exports every function needed, but viOpenDefaultRM failed with " +
           ViStatusName(*probe.resourceManagerStatus);
  }
  return finding + "; loads, exports every function needed and opens a resource manager; " +
         ImplementationWords(probe);
}

Json ProbeFacts(const LibraryProbe& probe) {
  Json facts = {{"file", JsonString(probe.candidate.file)},
                {"origin", probe.candidate.origin},
                {"location", probe.location.empty() ? Json(nullptr) : JsonString(probe.location)},
                {"architecture", probe.architecture ? Json(probe.architecture->Describe()) : Json(nullptr)},
                {"wrongArchitecture", probe.wrongArchitecture()},
                {"loaded", probe.loaded},
                {"loadError", probe.loaded ? Json(nullptr) : JsonString(probe.loadError)},
                {"missingDependencies", JsonStrings(probe.missingDependencies)},
                {"missingFunctions", JsonStrings(probe.missingFunctions)},
                {"resourceManager", probe.resourceManagerStatus
                                        ? Json(ViStatusName(*probe.resourceManagerStatus))
                                        : Json(nullptr)},
                {"manufacturer", probe.manufacturer.empty() ? Json(nullptr) : JsonString(probe.manufacturer)},
                {"implementationVersion", probe.implementationVersion
                                              ? Json(VisaVersionText(*probe.implementationVersion))
                                              : Json(nullptr)},
                {"visaVersion", probe.visaVersion ? Json(VisaVersionText(*probe.visaVersion)) : Json(nullptr)},
                {"usable", probe.usable()}};
  return facts;
}

DoctorCheck ProbeCheck(const LibraryProbe& probe) {
  const bool named = probe.candidate.named;
  // A usual place with nothing in it is no fault; a file named on purpose is.
  Verdict verdict = probe.usable() ? Verdict::kOk : Verdict::kProblem;
  std::string advice = probe.usable() ? std::string() : LibraryAdvice(probe);
  if (!probe.present()) {
    verdict = named ? Verdict::kProblem : Verdict::kOk;
    advice = named ? std::string("Check the file name, or name the installed library's "
                                         "full path with ") + kVisaLibraryVariable + "=FILE"
                           : std::string();
  }
  return {kLibraryArea, probe.candidate.file, verdict, ProbeFinding(probe), advice, ProbeFacts(probe)};
}

DoctorCheck ChoiceCheck(const std::vector<LibraryProbe>& probes, bool systemIsDefault,
                        std::string_view defaultBackend) {
  for (std::size_t i = 0; i < probes.size(); ++i) {
    if (!probes[i].usable()) continue;
    const std::string why = probes[i].candidate.origin +
                            (i > 0 ? std::string(", the first usable one in the search order") : "");
    return {kLibraryArea, "system backend", Verdict::kOk,
            "uses " + probes[i].candidate.file + " (" + why + ")", "",
            Json{{"uses", JsonString(probes[i].candidate.file)}}};
  }
  const bool anyPresent =
      std::any_of(probes.begin(), probes.end(), [](const LibraryProbe& p) { return p.present(); });
  const BinaryArchitecture program = ProgramArchitecture();
  DoctorCheck check{kLibraryArea, "system backend", Verdict::kProblem,
                    anyPresent ? "no usable VISA library (see above)" : "no VISA library is installed",
                    "Install your meter vendor's " + std::to_string(program.bits) +
                        "-bit VISA library, or name one with " + kVisaLibraryVariable + "=FILE",
                    Json{{"uses", nullptr}}};
  if (!systemIsDefault) {
    check.verdict = anyPresent ? Verdict::kWarning : Verdict::kOk;
    if (!anyPresent) {
      check.finding += "; the default backend \"" + std::string(defaultBackend) + "\" needs none";
      check.advice.clear();
    }
  }
  return check;
}

void CheckVisaLibrary(const DoctorRequest& request, DoctorReport& report) {
  const bool systemIsDefault = BackendBase(request.backend) == "system";
  std::string error;
  const auto candidates =
      SystemLibrarySearch(systemIsDefault ? BackendOptions(request.backend) : std::string_view{}, &error);
  if (!candidates) {
    report.checks.push_back({kLibraryArea, "system backend", Verdict::kProblem, error,
                             "Correct the --visa option", Json::object()});
    return;
  }
  std::vector<LibraryProbe> probes;
  for (const LibraryCandidate& candidate : *candidates) probes.push_back(ProbeVisaLibrary(candidate));
  for (const LibraryProbe& probe : probes) {
    report.checks.push_back(ProbeCheck(probe));
  }
  report.checks.push_back(ChoiceCheck(probes, systemIsDefault, request.backend));

#ifdef _WIN32
  std::vector<std::string> others;
  for (const std::string& file : OtherVisaImplementations()) {
    const auto architecture = ReadBinaryArchitecture(file);
    others.push_back(file + " (" + (architecture ? architecture->Describe() : "not recognised") + ")");
  }
  report.checks.push_back({kLibraryArea, "other VISA implementations", Verdict::kOk,
                           others.empty() ? "none in the usual folders" : Joined(others, "; "), "",
                           Json{{"found", JsonStrings(others)}}});
#endif
}

// ---- USB ----

#ifndef _WIN32
std::string KernelDriverWords(const UsbtmcDeviceReport& device) {
  if (!device.kernelDriverBound) return {};
  const std::string driver =
      device.kernelDriver.empty() ? "a kernel driver" : "the kernel's " + device.kernelDriver + " driver";
  return "; " + driver + " is bound to it, which is fine: the usbtmc backend detaches it while it "
         "works and gives it back afterwards";
}

DoctorCheck DeviceCheck(const UsbtmcDeviceReport& device, const UdevRuleState& rule, bool usbtmcIsDefault) {
  const bool meter = device.vendorId == kMeterVendorId && device.productId == kMeterProductId;
  std::string finding = meter ? "the meter" : "a USBTMC device, not the meter";
  finding += device.serial.empty() ? "" : ", serial " + device.serial;
  Json facts = {{"vendorId", device.vendorId},
                {"productId", device.productId},
                {"bus", device.busNumber},
                {"address", device.deviceAddress},
                {"meter", meter},
                {"serial", device.serial.empty() ? Json(nullptr) : JsonString(device.serial)},
                {"openable", device.openable},
                {"kernelDriverBound", device.kernelDriverBound},
                {"kernelDriver", device.kernelDriver.empty() ? Json(nullptr) : Json(device.kernelDriver)},
                {"udevRule", rule.installedAt.empty() ? Json(nullptr) : Json(rule.installedAt)}};
  if (device.openable) {
    return {kUsbArea, device.Describe(), Verdict::kOk,
            finding + "; this user may open it" + KernelDriverWords(device), "", facts};
  }
  finding += "; this user may not open it (" + device.openError + "); the udev rule " +
             kMeterUdevRuleName + " is " +
             (rule.installedAt.empty() ? "not installed (looked in " + Joined(rule.folders, ", ") + ")"
                                       : "installed at " + rule.installedAt);
  finding += KernelDriverWords(device);
  // The rule is the meter's; another instrument is only mentioned.
  if (!meter) return {kUsbArea, device.Describe(), Verdict::kOk, finding, "", facts};
  const std::string advice =
      rule.installedAt.empty()
          ? std::string("Install the udev rule ") + kMeterUdevRuleName +
                " into /etc/udev/rules.d (the quorvel package puts it into /usr/lib/udev/rules.d), "
                "then unplug and replug the meter"
          : "The rule did not apply to this device: unplug and replug the meter, and make sure this "
            "user is logged in at the machine itself (the rule gives the meter to that user)";
  return {kUsbArea, device.Describe(), usbtmcIsDefault ? Verdict::kProblem : Verdict::kWarning,
          finding, advice, facts};
}

void CheckUsb(const DoctorRequest& request, DoctorReport& report) {
  const bool usbtmcIsDefault = BackendBase(request.backend) == "usbtmc";
  const UsbSurvey survey = SurveyUsb();
  if (!survey.started) {
    report.checks.push_back({kUsbArea, "libusb " + survey.libusbVersion,
                             usbtmcIsDefault ? Verdict::kProblem : Verdict::kWarning, survey.error,
                             "Check that /dev/bus/usb exists and that USB is not disabled here",
                             Json{{"version", survey.libusbVersion}, {"started", false}}});
    return;
  }
  report.checks.push_back({kUsbArea, "libusb " + survey.libusbVersion, Verdict::kOk, "starts", "",
                           Json{{"version", survey.libusbVersion}, {"started", true}}});
  if (survey.devices.empty()) {
    DoctorCheck none{kUsbArea, "devices", Verdict::kOk,
                     "no USB device with a USBTMC interface is attached", "", Json::object()};
    if (usbtmcIsDefault) {
      none.verdict = Verdict::kWarning;
      none.advice = "Connect the meter by USB and switch it on; a cable made only for charging "
                    "carries no data";
    }
    report.checks.push_back(std::move(none));
    return;
  }
  const UdevRuleState rule = FindMeterUdevRule();
  for (const UsbtmcDeviceReport& device : survey.devices) {
    report.checks.push_back(DeviceCheck(device, rule, usbtmcIsDefault));
  }
}
#endif

// ---- The meters ----

std::string PrintableReply(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  return text;
}

// The meters one backend finds; true when one of them said who it is.
bool CheckBackendMeters(const std::string& backend, bool isDefault, const DoctorRequest& request,
                        DoctorReport& report) {
  std::string error;
  auto visa = MakeVisaLibrary(backend, request.clock, &error);
  if (visa && visa->ServesSimulatedMeter() && &request.simulatedClock != &request.clock) {
    visa = MakeVisaLibrary(backend, request.simulatedClock, &error);
  }
  if (!visa) {
    // A backend that cannot start is only worth a line when it is the one used.
    if (isDefault) {
      report.checks.push_back({kMeterArea, backend, Verdict::kProblem, "cannot start: " + error,
                               "See the checks above for why", Json{{"backend", JsonString(backend)}}});
    }
    return false;
  }
  Clock& clock = visa->ServesSimulatedMeter() ? request.simulatedClock : request.clock;
  SilentConsole console;
  DiskFileSystem files;
  Services services{*visa, console, clock, files};
  const VisaHandle manager = OpenResourceManager(*visa);
  if (manager.empty()) {
    report.checks.push_back({kMeterArea, backend, isDefault ? Verdict::kProblem : Verdict::kWarning,
                             "its resource manager does not open", "See the checks above for why",
                             Json{{"backend", JsonString(backend)}}});
    return false;
  }
  const std::vector<std::string> resources = FindMeters(*visa, manager);
  bool reached = false;
  for (const std::string& resource : resources) {
    const MeterRecord answer = QueryMeter(services, manager, resource);
    const bool identified = answer.opened && answer.identified;
    reached = reached || identified;
    Json facts = {{"backend", JsonString(backend)},
                  {"resource", JsonString(resource)},
                  {"opened", answer.opened},
                  {"identity", answer.opened ? JsonString(PrintableReply(answer.identity)) : Json(nullptr)},
                  {"serial", answer.opened ? JsonString(PrintableReply(answer.serial)) : Json(nullptr)}};
    if (identified) {
      report.checks.push_back({kMeterArea, backend + " " + resource, Verdict::kOk,
                               "identity " + PrintableReply(answer.identity) + ", serial " +
                                   PrintableReply(answer.serial),
                               "", facts});
    } else {
      report.checks.push_back(
          {kMeterArea, backend + " " + resource, Verdict::kWarning,
           answer.opened ? "opens, but does not say who it is" : "found, but does not open",
           answer.opened ? "Recycle the meter's power and run doctor again"
                         : "Close other programs that may hold the meter, then run doctor again",
           facts});
    }
  }
  if (resources.empty()) {
    DoctorCheck none{kMeterArea, backend, isDefault ? Verdict::kProblem : Verdict::kOk,
                     "finds no meter", "", Json{{"backend", JsonString(backend)}}};
    if (isDefault) {
      none.advice = "Connect the meter and switch it on; the checks above say what else stands in the way";
    }
    report.checks.push_back(std::move(none));
  }

  return reached;
}

void CheckMeters(const DoctorRequest& request, DoctorReport& report) {
  // The backends that reach real meters, each as the other commands would
  // name it; the one in use keeps its options.
#ifdef _WIN32
  std::vector<std::string> backends = {"system"};
#else
  std::vector<std::string> backends = {"usbtmc", "system"};
#endif
  bool found = false;
  for (std::string& backend : backends) {
    if (backend == BackendBase(request.backend)) {
      backend = request.backend;
      found = true;
    }
  }
  if (!found) backends.insert(backends.begin(), request.backend);
  for (const std::string& backend : backends) {
    const bool isDefault = backend == request.backend;
    const bool reached = CheckBackendMeters(backend, isDefault, request, report);
    if (isDefault) report.defaultBackendReachesMeter = reached;
  }
}

// ---- The history file ----

// Whether this user can append to `file`, or create it where it belongs.
bool CanWrite(const std::filesystem::path& file) {
  std::error_code error;
  if (std::filesystem::exists(file, error)) {
    std::ofstream append(file, std::ios::app | std::ios::binary);
    return static_cast<bool>(append);
  }
  // The first folder on the way that exists must take a new entry; a probe
  // file is made and removed again.
  std::filesystem::path folder = file.parent_path();
  while (!folder.empty() && !std::filesystem::exists(folder, error)) {
    if (folder == folder.parent_path()) return false;
    folder = folder.parent_path();
  }
  const std::filesystem::path probe = folder / ".quorvel-doctor-probe";
  bool created = false;
  {
    std::ofstream out(probe, std::ios::binary);
    created = static_cast<bool>(out);
  }
  std::filesystem::remove(probe, error);
  return created;
}

void CheckHistory(DoctorReport& report) {
  const auto path = DefaultHistoryPath();
  if (!path) {
#ifdef _WIN32
    const char* advice = "Set LOCALAPPDATA to this user's local application data folder";
#else
    const char* advice = "Set HOME, or XDG_STATE_HOME to an absolute folder";
#endif
    report.checks.push_back({kHistoryArea, "history", Verdict::kProblem,
                             "has no place: the environment names no folder for it", advice,
                             Json{{"path", nullptr}, {"writable", false}}});
    return;
  }
  const std::string text = Utf8FromPath(*path);
  std::error_code error;
  const bool exists = std::filesystem::exists(*path, error);
  const bool writable = CanWrite(*path);
  std::string finding = writable ? "writable" : "not writable";
  if (!exists) finding += " (it does not exist yet; the first update makes it)";
  report.checks.push_back({kHistoryArea, text, writable ? Verdict::kOk : Verdict::kProblem, finding,
                           writable ? "" : "Make " + text + "'s folder writable for this user",
                           Json{{"path", JsonString(text)}, {"exists", exists}, {"writable", writable}}});
}

}  // namespace

std::string_view VerdictName(Verdict verdict) {
  switch (verdict) {
    case Verdict::kOk:
      return "ok";
    case Verdict::kWarning:
      return "warning";
    case Verdict::kProblem:
      return "problem";
  }
  return "problem";
}

DoctorReport RunDoctor(const DoctorRequest& request) {
  DoctorReport report;
  CheckVisaLibrary(request, report);
#ifndef _WIN32
  CheckUsb(request, report);
#endif
  CheckMeters(request, report);
  CheckHistory(report);
  return report;
}

}  // namespace quorvel
