#pragma once
// The two update procedures: the Select button's single-image update (which
// hands packages to the package update) and the package update.
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "firmware/file_source.h"
#include "firmware/image_header.h"
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

// The Select button: rediscovers when not ready, otherwise identifies the
// meter, asks for a file and updates it.
UpdateOutcome RunImageUpdate(Services& services, DialogState& dialog);

// Installs every image of a package on a session of its own, and reports how
// it ended. `openedPackage`, when given, is the package already open (and locked
// against writers) by the caller; otherwise the procedure opens it itself.
UpdateReport RunPackageUpdateReported(Services& services, const std::string& packagePath,
                                      const std::string& folderAndSerial,
                                      std::unique_ptr<FirmwareFile> openedPackage = nullptr);

// Splits a path at its last separator ('/' here; '\\' and '/' on Windows):
// the folder keeps the separator.
std::pair<std::string, std::string> SplitPath(std::string_view path);

// The Exit button after the operator confirmed: closes the instrument session
// and the resource manager. What is already closed is not closed again.
void CloseSessionsForExit(DialogState& dialog);

}  // namespace quorvel
