// The emulated-device tests run only inside umockdev's preload; elsewhere
// they report themselves skipped (exit status 77) instead of failing.
#include <gtest/gtest.h>

#include <cstdio>

#include "usbtmc/emulated_usb.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // Listing needs no USB, and CTest lists the profile tests to register them.
  if (::testing::GTEST_FLAG(list_tests)) return RUN_ALL_TESTS();
  if (!quorvel::testing::EmulatedUsbBus::PreloadActive()) {
    std::fprintf(stderr,
                 "umockdev preload not active (run with LD_PRELOAD=libumockdev-preload.so.0): "
                 "skipping the emulated-device tests\n");
    return 77;
  }
  return RUN_ALL_TESTS();
}
