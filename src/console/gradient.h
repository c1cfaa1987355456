#pragma once
// The main window's background: horizontal grey bands from white at the top
// to a mid grey at the bottom.
#include "presenter/window_gradient.h"

class QPainter;

namespace quorvel {

// Paints the bands across the full width, from y = 0 while y < height; the
// last band may run past the bottom. A height of 0 paints nothing. On a dark
// window the greys are mirrored: black at the top to a mid grey.
void PaintGradient(QPainter& painter, int width, int height, bool dark = false);

}  // namespace quorvel
