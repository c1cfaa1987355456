#pragma once
// The main window's background, without a toolkit: horizontal grey bands from
// white at the top to a mid grey at the bottom. Both windows paint these greys.
namespace quorvel {

inline constexpr int kGradientBandHeight = 10;

// Grey level (0..255) of band `band` (0 at the top) in a client area
// `clientHeight` pixels high; clientHeight must be positive.
int GradientBandGrey(int band, int clientHeight);

}  // namespace quorvel
