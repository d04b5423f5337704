// The unit tests' main: sockets need the platform's start-up (Windows
// Sockets refuses every call before it), as they do in Tarnwick's own main.
#include <gtest/gtest.h>

#include "platform/platform.h"

int main(int argc, char** argv) {
  PlatformStartup();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
