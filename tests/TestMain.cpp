// The tests' main: runs them, then removes the shared log block named after
// this executable, which the process's log writer made if anything logged.
#include <gtest/gtest.h>

#include "log/LogNaming.h"
#include "platform/Platform.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  const int result = RUN_ALL_TESTS();
  const kdl::log::LogNames names =
      kdl::log::MakeLogNames(kdl::plat::ExecutablePath(), kdl::log::kNativeFlavour);
  kdl::plat::SharedBlockUnlink(kdl::log::SharedMemName(names.baseName),
                               kdl::log::SharedEventName(names.baseName));
  return result;
}
