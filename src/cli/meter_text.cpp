#include "cli/meter_text.h"

#include <sstream>

#include "common/printable_text.h"
#include "instrument/identity.h"

namespace quorvel::cli {

std::string WithoutTrailingNewline(std::string text) { return WithoutLineEnd(std::move(text)); }

std::string RenderMeterText(const MeterRecord& meter) {
  std::ostringstream out;
  out << PrintableField(meter.resource) << '\n';
  if (!meter.opened) {
    out << "  could not be opened\n";
    return out.str();
  }
  out << "  Identity: " << PrintableField(WithoutTrailingNewline(meter.identity)) << '\n'
      << "  Serial:   " << PrintableField(WithoutTrailingNewline(meter.serial)) << '\n';
  if (!meter.identified) {
    out << "  Versions: none (the meter did not identify itself)\n";
  } else if (meter.updateMode) {
    // The update-mode identity carries a mode marker where the versions would be.
    out << "  Versions: not reported in update mode\n";
  } else {
    const ProcessorVersions versions = ProcessorVersionsOf(meter.versions);
    out << "  Versions: DSP " << PrintableField(versions.dsp) << ", Panel "
        << PrintableField(versions.panel) << ", MSP 430 " << PrintableField(versions.msp430)
        << '\n';
  }
  out << "  Mode:     " << (meter.updateMode ? "update" : "normal") << '\n';
  return out.str();
}

Json MeterJson(const MeterRecord& meter) {
  Json json = {{"resource", JsonString(meter.resource)}, {"opened", meter.opened}};
  if (!meter.opened) return json;
  json["identity"] = JsonString(WithoutTrailingNewline(meter.identity));
  json["serial"] = JsonString(WithoutTrailingNewline(meter.serial));
  json["identified"] = meter.identified;
  json["mode"] = meter.updateMode ? "update" : "normal";
  json["versions"] = meter.identified && !meter.updateMode ? VersionsJson(meter.versions) : nullptr;
  return json;
}

Json VersionsJson(const MeterVersions& versions) {
  if (versions.tail.empty()) return nullptr;
  const ProcessorVersions processors = ProcessorVersionsOf(versions);
  return {{"dsp", JsonString(processors.dsp)},
          {"panel", JsonString(processors.panel)},
          {"msp430", JsonString(processors.msp430)}};
}

}  // namespace quorvel::cli
