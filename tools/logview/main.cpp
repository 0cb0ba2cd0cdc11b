// kelvane-logview: follows the shared log ring of a running host program.
#include "tools/logview/LogviewApp.h"
#include "tools/logview/LogviewArgs.h"

int main(int argc, char** argv) {
  klogview::LogviewOptions options;
  const int status = klogview::ParseLogviewArgs(argc, argv, &options);
  return status >= 0 ? status : klogview::RunLogview(options);
}
