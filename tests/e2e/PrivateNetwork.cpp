#include "tests/e2e/PrivateNetwork.h"

#include <unistd.h>

#include <chrono>
#include <thread>

#include "tests/e2e/ProcessRunner.h"

namespace kdl::test {
namespace {

int g_sequence = 0;

bool Ip(const std::vector<std::string>& args, std::string* error) {
  std::vector<std::string> argv = {IpToolPath()};
  argv.insert(argv.end(), args.begin(), args.end());
  ProcessResult r = RunProcess(argv, "", 30);
  if (r.exitCode == 0) return true;
  if (error) {
    std::string cmd = "ip";
    for (const auto& a : args) cmd += " " + a;
    *error = cmd + ": " + (r.err.empty() ? "failed" : r.err);
  }
  return false;
}

}  // namespace

std::string IpToolPath() {
  for (const char* p : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"})
    if (access(p, X_OK) == 0) return p;
  return "";
}

std::string PrivateNetwork::WhyUnavailable() {
  if (geteuid() != 0) return "creating network namespaces needs root";
  if (IpToolPath().empty()) return "the ip tool (iproute2) is not installed";
  return "";
}

bool PrivateNetwork::Create(std::string* error) {
  Remove();
  // Interface names hold at most 15 characters: kv<pid><s|t><n> fits.
  std::string tag = std::to_string(getpid()) + "n" + std::to_string(++g_sequence);
  m_serverNs = "kvsrv" + tag;
  m_toolNs = "kvtool" + tag;
  std::string vs = "kvs" + tag, vt = "kvt" + tag;
  if (!Ip({"netns", "add", m_serverNs}, error)) return false;
  m_created = true;
  if (!Ip({"netns", "add", m_toolNs}, error) ||
      !Ip({"link", "add", vs, "netns", m_serverNs, "type", "veth", "peer", "name", vt, "netns",
           m_toolNs},
          error) ||
      !Ip({"-n", m_serverNs, "addr", "add", std::string(kServerIp) + "/24", "dev", vs}, error) ||
      !Ip({"-n", m_toolNs, "addr", "add", std::string(kToolIp) + "/24", "dev", vt}, error) ||
      !Ip({"-n", m_serverNs, "link", "set", "lo", "up"}, error) ||
      !Ip({"-n", m_toolNs, "link", "set", "lo", "up"}, error) ||
      !Ip({"-n", m_serverNs, "link", "set", vs, "up"}, error) ||
      !Ip({"-n", m_toolNs, "link", "set", vt, "up"}, error) ||
      !WaitUntilUp(m_serverNs, vs, error) || !WaitUntilUp(m_toolNs, vt, error)) {
    Remove();
    return false;
  }
  return true;
}

bool PrivateNetwork::WaitUntilUp(const std::string& ns, const std::string& dev,
                                 std::string* error) {
  // A veth end reports its carrier a moment after "link set up"; the library
  // only takes the address of an interface that is operational.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (std::chrono::steady_clock::now() < deadline) {
    ProcessResult r = RunProcess({IpToolPath(), "-n", ns, "link", "show", "dev", dev}, "", 30);
    if (r.exitCode == 0 && r.out.find("state UP") != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  *error = dev + " in " + ns + " did not come up";
  return false;
}

void PrivateNetwork::Remove() {
  if (!m_created) return;
  m_created = false;
  // Deleting a namespace also deletes the veth end inside it, and with it the pair.
  Ip({"netns", "del", m_toolNs}, nullptr);
  Ip({"netns", "del", m_serverNs}, nullptr);
}

std::vector<std::string> PrivateNetwork::InServer(const std::vector<std::string>& argv) const {
  std::vector<std::string> out = {IpToolPath(), "netns", "exec", m_serverNs};
  out.insert(out.end(), argv.begin(), argv.end());
  return out;
}

std::vector<std::string> PrivateNetwork::InTool(const std::vector<std::string>& argv) const {
  std::vector<std::string> out = {IpToolPath(), "netns", "exec", m_toolNs};
  out.insert(out.end(), argv.begin(), argv.end());
  return out;
}

}  // namespace kdl::test
