#pragma once
// Where the main window's parts sit and how its strip is coloured: the same in
// every window that draws the presenter. Places are in dialog units (a quarter
// of the font's average character width across, an eighth of its height down),
// so the window grows with the operator's font and screen scale.
#include <cstdint>

#include "presenter/window_model.h"

namespace quorvel {

struct UnitRect {
  int x, y, width, height;
};
inline constexpr UnitRect kClientArea{0, 0, 320, 156};
// The meter line: its label, the chooser (with several meters) and the words.
inline constexpr UnitRect kMeterLabelArea{7, 8, 26, 10};
inline constexpr UnitRect kMeterChooserArea{35, 7, 60, 12};
inline constexpr UnitRect kMeterTextArea{35, 8, 278, 10};
inline constexpr int kMeterTextBesideChooser = 99;
inline constexpr UnitRect kLogArea{7, 23, 306, 93};
// The strip takes the log's last lines while it is shown.
inline constexpr UnitRect kStatusArea{7, 104, 306, 12};
// A progress bar of the usual height, with room above the buttons.
inline constexpr UnitRect kProgressArea{7, 119, 306, 11};
inline constexpr UnitRect kSelectArea{109, 135, 50, 14};
inline constexpr UnitRect kExitArea{170, 135, 45, 14};

// How often the presenter is given the time to look again for a meter.
inline constexpr int kTickMs = 250;

// Deep text on a pale band for a light window; pale text on a deep band for a
// dark one (0xRRGGBB). Each pair is well above the 4.5 : 1 that small text needs.
struct StripColours {
  std::uint32_t lightText, lightBand, darkText, darkBand;
};
constexpr StripColours StripColoursOf(StripKind kind) {
  switch (kind) {
    case StripKind::kSuccess: return {0x1b5e20, 0xe3f4e4, 0xb9f6ca, 0x163a1a};
    case StripKind::kFailure: return {0x8e1111, 0xfde6e6, 0xffcdd2, 0x4a1515};
    case StripKind::kWarning: return {0x6d4c00, 0xfff4d6, 0xffe082, 0x43350d};
    case StripKind::kInfo: break;
  }
  return {0x0d3c61, 0xe3f0fb, 0xbbdefb, 0x17324a};
}

}  // namespace quorvel
