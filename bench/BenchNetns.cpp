#include "bench/BenchNetns.h"

#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kdl::bench {

namespace {

bool Run(const std::string& command, std::string& why) {
  int rc = std::system((command + " >/dev/null 2>&1").c_str());
  if (rc != 0) why = "'" + command + "' failed";
  return rc == 0;
}

// /proc/sys/net shows the namespace of the task that reads it.
bool SetSysctl(const std::string& path, const char* value, std::string& why) {
  std::FILE* f = std::fopen(path.c_str(), "w");
  bool ok = f != nullptr && std::fputs(value, f) >= 0;
  if (f != nullptr && std::fclose(f) != 0) ok = false;
  if (!ok) why = "cannot write " + path;
  return ok;
}

}  // namespace

bool EnterPrivateNetwork(const PrivateNetwork& net, std::string& why) {
  if (geteuid() != 0) {
    why = "not root";
    return false;
  }
  if (unshare(CLONE_NEWNET) != 0) {
    why = std::string("unshare(CLONE_NEWNET): ") + std::strerror(errno);
    return false;
  }
  const std::string a = net.devA, b = net.devB;
  if (!Run("ip link set lo up", why) ||
      !Run("ip link add " + a + " type veth peer name " + b, why) ||
      !Run("ip addr add " + std::string(net.ipA) + "/24 dev " + a, why) ||
      !Run("ip addr add " + std::string(net.ipB) + "/24 dev " + b, why))
    return false;
  // A broadcast leaves by one end and comes in by the other with a source
  // address of this host; the kernel takes it only with accept_local and no
  // reverse-path filter.
  const std::string conf = "/proc/sys/net/ipv4/conf/";
  for (const std::string& dev : {std::string("all"), std::string("default"), a, b}) {
    if (!SetSysctl(conf + dev + "/rp_filter", "0", why)) return false;
  }
  for (const std::string& dev : {a, b}) {
    if (!SetSysctl(conf + dev + "/accept_local", "1", why)) return false;
  }
  return Run("ip link set " + a + " up", why) && Run("ip link set " + b + " up", why);
}

}  // namespace kdl::bench
