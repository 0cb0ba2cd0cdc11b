// kelvane: a command-line image-administration host of libKelvaneDll. It
// loads the library at run time and uses only its nine exports.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tools/host/HostCli.h"
#include "tools/host/HostSession.h"
#include "tools/host/KelvaneApi.h"

namespace {

// Gives the tool a stream of its own on the original stdout, and sends the
// library's console log lines (which it prints to stdout) to stderr, or
// nowhere with --quiet, so that stdout carries only tables or JSON.
std::FILE* SeparateOutput(bool quiet) {
  int own = dup(STDOUT_FILENO);
  std::FILE* out = own >= 0 ? fdopen(own, "w") : nullptr;
  if (!out) return stdout;
  int target = quiet ? open("/dev/null", O_WRONLY) : STDERR_FILENO;
  if (target >= 0) {
    dup2(target, STDOUT_FILENO);
    if (target != STDERR_FILENO) close(target);
  }
  setvbuf(stdout, nullptr, _IOLBF, 0);
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace kdl::host;
  CommandLine cl = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  if (!cl.ok) {
    std::fprintf(stderr, "kelvane: %s\n(kelvane --help lists the commands)\n", cl.error.c_str());
    return 2;
  }
  const Command& cmd = cl.command;
  if (cmd.id == CommandId::kHelp || cmd.help) {
    std::string topic = cmd.id == CommandId::kHelp ? cmd.helpTopic : cmd.name;
    std::string text = topic.empty() ? ToolUsage() : CommandUsage(topic);
    if (text.empty()) {
      std::fprintf(stderr, "kelvane: unknown command \"%s\"\n", topic.c_str());
      return 2;
    }
    std::fputs(text.c_str(), stdout);
    return 0;
  }

  std::FILE* out = SeparateOutput(cl.options.quiet);
  KelvaneApi api;
  std::string error;
  std::string lib = ChooseLibraryPath(cl.options.lib);
  if (!api.Load(lib, &error)) {
    std::fprintf(stderr, "kelvane: load failed: %s\n", error.c_str());
    if (cl.options.json) std::fprintf(out, "{\"result\":1,\"failed_step\":\"load\"}\n");
    std::fflush(out);
    return 3;
  }
  HostSession session(api, cl.options, out, stderr);
  if (!session.Start()) {
    std::fprintf(stderr, "kelvane: start failed: the library found no usable local IPv4 address\n");
    if (cl.options.json) std::fprintf(out, "{\"result\":1,\"failed_step\":\"start\"}\n");
    std::fflush(out);
    return 3;
  }
  int status;
  if (cmd.id == CommandId::kShell) {
    status = session.RunShell(stdin);
  } else {
    status = session.Run(cmd) == 0 ? 0 : 1;
  }
  session.Stop();
  std::fflush(out);
  return status;
}
