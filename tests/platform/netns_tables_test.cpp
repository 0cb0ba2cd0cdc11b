// The Linux interface table and adapter list, read inside a private network
// namespace that the test builds with a veth pair. Needs root and the `ip`
// tool; skipped otherwise. No packet is sent.
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <sstream>
#include <thread>

#include "platform/LocalAddress.h"

namespace {

std::string IpTool() {
  for (const char* p : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"}) {
    if (access(p, X_OK) == 0) return p;
  }
  return std::string();
}

bool Run(const std::string& ip, const std::string& args) {
  return std::system((ip + " " + args + " >/dev/null 2>&1").c_str()) == 0;
}

bool BothUp(std::vector<kdl::plat::InterfaceRow>& rows) {
  if (!kdl::plat::ReadInterfaceTable(rows)) return false;
  int up = 0;
  for (const auto& r : rows) up += r.operStatus == kdl::plat::kOperStatusOperational;
  return up == 2;
}

// Runs in the child, inside the new namespace. Returns "SKIP ..." or the
// list of failed checks (empty when all hold).
std::string CheckInNamespace() {
  if (unshare(CLONE_NEWNET) != 0) return "SKIP cannot create a network namespace";
  const std::string ip = IpTool();
  if (ip.empty()) return "SKIP no ip tool";
  if (!Run(ip, "link add kva type veth peer name kvb")) return "SKIP no veth support";
  std::ostringstream fail;

  // Both ends down: only lo and the pair are listed; nothing is operational.
  std::vector<kdl::plat::InterfaceRow> rows;
  if (!kdl::plat::ReadInterfaceTable(rows)) fail << "interface table unreadable; ";
  if (rows.size() != 3) fail << "rows=" << rows.size() << "; ";
  for (const auto& r : rows) {
    if (r.operStatus == kdl::plat::kOperStatusOperational) fail << "a down link is operational; ";
  }
  char out[32] = "keep";
  if (kdl::plat::PickLocalAddress(out) || std::strcmp(out, "keep") != 0) {
    fail << "picked " << out << " with every link down; ";
  }

  if (!Run(ip, "link set kva address 02:00:5e:10:00:0a") ||
      !Run(ip, "link set kvb address 02:00:5e:10:00:0b") ||
      !Run(ip, "addr add 10.200.0.1/24 dev kva") || !Run(ip, "addr add 10.200.0.2/24 dev kvb") ||
      !Run(ip, "addr add 10.200.0.3/24 dev kvb") || !Run(ip, "link set lo up") ||
      !Run(ip, "link set kva up") || !Run(ip, "link set kvb up")) {
    return "SKIP cannot configure the veth pair";
  }
  for (int i = 0; i < 100 && !BothUp(rows); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
  }
  if (!BothUp(rows)) fail << "veth pair not operational; ";

  // Rows in index order: lo (not "up" but "unknown") first.
  const unsigned ia = if_nametoindex("kva");
  const unsigned ib = if_nametoindex("kvb");
  if (rows.size() == 3) {
    if (rows[0].operStatus == kdl::plat::kOperStatusOperational) fail << "lo operational; ";
    const kdl::plat::InterfaceRow& first = rows[1];
    const uint8_t want = ia < ib ? 0x0a : 0x0b;
    if (first.physAddrLen != 6 || first.physAddr[5] != want) fail << "row order; ";
  }

  std::vector<kdl::plat::AdapterEntry> adapters;
  if (!kdl::plat::ReadAdapterList(adapters)) fail << "adapter list unreadable; ";
  if (adapters.size() != 2) fail << "adapters=" << adapters.size() << " (lo listed?); ";
  for (const auto& a : adapters) {
    const bool isB = a.address[5] == 0x0b;
    const std::vector<std::string> want =
        isB ? std::vector<std::string>{"10.200.0.2", "10.200.0.3"}
            : std::vector<std::string>{"10.200.0.1"};
    if (a.addressLength != 6 || a.ipAddresses != want) fail << "adapter addresses; ";
  }

  char picked[32] = "keep";
  const char* want = ia < ib ? "10.200.0.1" : "10.200.0.2";
  if (!kdl::plat::PickLocalAddress(picked) || std::strcmp(picked, want) != 0) {
    fail << "picked " << picked << ", want " << want << "; ";
  }
  return fail.str();
}

}  // namespace

TEST(NetnsTables, VethPairInPrivateNamespace) {
  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(fds[0]);
    const std::string report = CheckInNamespace();
    ssize_t ignored = write(fds[1], report.data(), report.size());
    (void)ignored;
    close(fds[1]);
    _exit(0);
  }
  close(fds[1]);
  std::string report;
  char buf[512];
  for (ssize_t n; (n = read(fds[0], buf, sizeof(buf))) > 0;) report.append(buf, n);
  close(fds[0]);
  int status = 0;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  if (report.rfind("SKIP", 0) == 0) GTEST_SKIP() << report;
  EXPECT_EQ("", report);
}
