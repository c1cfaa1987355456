#pragma once
// The words the main window adds beside the procedures' own log lines and
// boxes: the strip under the log, the meter line and About. Every front end
// that draws the presenter shows these, so they live here, not in a toolkit.
#include <string_view>

#include "common/version.h"

namespace quorvel {

// The one name the program goes by (the written window title aside).
inline constexpr std::string_view kProgramName = "Quorvel";
inline constexpr std::string_view kVersionText = kProgramVersion;

// Told beside "USBTMC device not found.": the command that finds out why.
inline constexpr std::string_view kAskTheDoctor = "To see why, run quorvel-cli doctor in a terminal.";

// The window's frame and menus.
inline constexpr std::string_view kDialogCaption = "Quorvel ( USBTMC ) Version " QUORVEL_VERSION;
inline constexpr std::string_view kAboutCaption = "About Quorvel";  // kProgramName
// The About entry of the window menu; an empty text adds no entry.
inline constexpr std::string_view kAboutMenuText = "&About Quorvel...";
// The log's right-click menu.
inline constexpr std::string_view kCopyMenuText = "&Copy";
inline constexpr std::string_view kSelectAllMenuText = "Select &All";
inline constexpr std::string_view kSaveLogMenuText = "Save Log...";
inline constexpr std::string_view kSaveLogDefaultName = "quorvel-log.txt";

// Shown while the first search for the meter runs; discovery clears it.
inline constexpr std::string_view kLookingForMeter = "Looking for the meter ...";

// The Exit question.
inline constexpr std::string_view kExitQuestion = "Are you sure, you want to quit?";
inline constexpr std::string_view kExitCaption = "DMM firmware update";

// Save Log...
inline constexpr std::string_view kSaveLogCaption = "Save Log";
inline constexpr std::string_view kSaveLogFailed = "The log could not be saved to";

// --- the meter line ---------------------------------------------------------
inline constexpr std::string_view kMeterLabel = "Meter:";
inline constexpr std::string_view kMeterSeparator = " \u00b7 ";
inline constexpr std::string_view kSimulatedMeter = "simulated meter";
inline constexpr std::string_view kMeterInUpdateMode = "in update mode";

// --- the strip: what happened and what to do next ---------------------------
inline constexpr std::string_view kRecycleToStart = "Recycle the meter's power to start it.";
inline constexpr std::string_view kStillInUpdateMode =
    "The meter is still in update mode: recycle its power, wait until it has started, then "
    "press Select.";
inline constexpr std::string_view kFoundInUpdateMode =
    "The meter is in update mode: recycle its power, wait until it has started, then press "
    "Select.";
inline constexpr std::string_view kLeftInUpdateMode =
    "The meter is in update mode: recycle its power before you try again.";
inline constexpr std::string_view kMeterUnchanged = "The meter was not changed.";
inline constexpr std::string_view kNothingSent = "Nothing was sent to the meter.";
inline constexpr std::string_view kTryAgainAfterPowerCycle =
    "Recycle the meter's power, then press Continue to try again.";
inline constexpr std::string_view kNoMeterFound =
    "No meter found. Check the USB cable and that the meter is switched on; the window "
    "looks again every few seconds.";
inline constexpr std::string_view kMeterDidNotComeBack =
    "The meter did not come back after switching to update mode. Check the cable, recycle "
    "the meter's power, then press Continue.";
inline constexpr std::string_view kCouldNotOpenFile =
    "The file could not be opened. Check that it exists and may be read, then press Select.";
inline constexpr std::string_view kTransferStopped = "The transfer was stopped.";
inline constexpr std::string_view kCheckVersionsAfterRestart =
    "Recycle the meter's power, then press Continue: the meter line shows the versions it runs.";

// --- waiting for the meter ----------------------------------------------------
inline constexpr std::string_view kWaitingForSwitch =
    "Waiting for the meter to take the update command";
inline constexpr std::string_view kWaitingForRestart =
    "Waiting for the meter to restart in update mode";
inline constexpr std::string_view kWaitingForReconnection = "Looking for the meter again";

// --- About ------------------------------------------------------------------
inline constexpr std::string_view kAboutVersionLine = "Quorvel Version " QUORVEL_VERSION;
inline constexpr std::string_view kAboutNotice = "Updates meter firmware over USBTMC.";
inline constexpr std::string_view kAboutLicence =
    "Licence: proprietary, for meters the licensee owns or services.";

}  // namespace quorvel
