#pragma once
// The main window's background: horizontal grey bands from white at the top
// to a mid grey at the bottom.
class QPainter;

namespace quorvel {

inline constexpr int kGradientBandHeight = 10;

// Grey level (0..255) of band `band` (0 at the top) in a client area
// `clientHeight` pixels high; clientHeight must be positive.
int GradientBandGrey(int band, int clientHeight);

// Paints the bands across the full width, from y = 0 while y < height; the
// last band may run past the bottom. A height of 0 paints nothing. On a dark
// window the greys are mirrored: black at the top to a mid grey.
void PaintGradient(QPainter& painter, int width, int height, bool dark = false);

}  // namespace quorvel
