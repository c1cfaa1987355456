#include "presenter/window_gradient.h"

#include <cstdint>

namespace quorvel {

namespace {
// The greys darken by 127 levels over the full height.
constexpr std::int64_t kDarkeningPerHeight = 1270;
constexpr int kGreyLevels = 256;
}  // namespace

int GradientBandGrey(int band, int clientHeight) {
  // C++ division truncates towards zero, which is the rounding the bands use.
  const std::int64_t shade = -kDarkeningPerHeight * band / clientHeight;
  const std::int64_t level = (255 + shade) % kGreyLevels;
  // % keeps the sign of a negative dividend; the grey level wraps instead.
  return static_cast<int>(level < 0 ? level + kGreyLevels : level);
}

}  // namespace quorvel
