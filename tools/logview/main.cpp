// kelvane-logview: follows the shared log ring of a running host program.
#include "tools/logview/LogviewApp.h"
#include "tools/logview/LogviewArgs.h"

int main(int argc, char** argv) {
  kdl::logview::LogviewOptions options;
  const int status = kdl::logview::ParseLogviewArgs(argc, argv, &options);
  return status >= 0 ? status : kdl::logview::RunLogview(options);
}
