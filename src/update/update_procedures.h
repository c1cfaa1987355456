#pragma once
// The two update procedures: the Select button's single-image update (which
// hands packages to the package update) and the package update.
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "firmware/file_source.h"
#include "firmware/image_header.h"
#include "firmware/loaded_firmware.h"
#include "instrument/instrument_session.h"
#include "update/update_report.h"

namespace quorvel {

// What the main window keeps between button presses.
struct DialogState {
  InstrumentSession session;
  bool readyForUpdate = false;
  MeterVersions versions;
  UpdateReport report;  // how the latest press of Select ended
};

// The file a run updates the meter with.
struct ChosenFirmware {
  std::string path;  // the full path
  // The file as the caller already read and checked it; the procedure reads
  // it itself when null. Must outlive the run.
  const LoadedFirmware* loaded = nullptr;
};

// Where a run gets its file once the meter is identified; nothing when the
// operator cancelled. The window asks the operator; the pipeline answers
// with the file it was given and has already read.
using ChooseFirmware = std::function<std::optional<ChosenFirmware>()>;

// The Select button: rediscovers when not ready, otherwise identifies the
// meter, gets a file from `choose` (the console's file chooser when empty)
// and updates the meter with it.
UpdateOutcome RunImageUpdate(Services& services, DialogState& dialog,
                             const ChooseFirmware& choose = {});

// Installs every image of a package on a session of its own, and reports how
// it ended. `package`, when given, is the package as the caller read it into
// memory; otherwise the procedure reads it itself. Those bytes are sent.
UpdateReport RunPackageUpdate(Services& services, const std::string& packagePath,
                              const std::string& folderAndSerial,
                              const LoadedFirmware* package = nullptr);

// Splits a path at its last separator ('/' here; '\\' and '/' on Windows):
// the folder keeps the separator.
std::pair<std::string, std::string> SplitPath(std::string_view path);

// The Exit button after the operator confirmed: closes the instrument session
// and the resource manager. What is already closed is not closed again.
void CloseSessionsForExit(DialogState& dialog);

}  // namespace quorvel
