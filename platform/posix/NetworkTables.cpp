// The interface table and the adapter list on Linux, from getifaddrs() and
// /sys/class/net.
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>

#include "platform/Platform.h"

namespace kplat {

namespace {

// One network interface as the kernel lists it.
struct LinkInfo {
  std::string name;
  unsigned flags = 0;
  uint32_t addrLen = 0;
  uint8_t addr[8] = {};
  std::vector<std::string> ipv4;
};

// Interfaces keyed (and so ordered) by their index.
bool ReadLinks(std::map<unsigned, LinkInfo>& links) {
  struct ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return false;
  for (struct ifaddrs* a = list; a != nullptr; a = a->ifa_next) {
    if (a->ifa_name == nullptr) continue;
    unsigned index = if_nametoindex(a->ifa_name);
    if (index == 0) continue;
    LinkInfo& l = links[index];
    l.name = a->ifa_name;
    l.flags = a->ifa_flags;
    if (a->ifa_addr == nullptr) continue;
    if (a->ifa_addr->sa_family == AF_PACKET) {
      const auto* ll = reinterpret_cast<const struct sockaddr_ll*>(a->ifa_addr);
      uint32_t n = std::min<uint32_t>(ll->sll_halen, sizeof(l.addr));
      std::memcpy(l.addr, ll->sll_addr, n);
      l.addrLen = n;
    } else if (a->ifa_addr->sa_family == AF_INET) {
      const auto* in = reinterpret_cast<const struct sockaddr_in*>(a->ifa_addr);
      char text[INET_ADDRSTRLEN] = {};
      if (inet_ntop(AF_INET, &in->sin_addr, text, sizeof(text)) != nullptr) {
        l.ipv4.emplace_back(text);
      }
    }
  }
  freeifaddrs(list);
  return true;
}

// Windows-style operational status from the kernel's operstate: 5 for "up".
uint32_t OperStatus(const LinkInfo& l) {
  std::ifstream f("/sys/class/net/" + l.name + "/operstate");
  std::string state;
  if (f >> state) {
    if (state == "up") return kOperStatusOperational;
    if (state == "dormant") return 3;  // connecting
    return 0;                          // non-operational
  }
  // No sysfs: an interface that is up and running and not loopback.
  const bool running = (l.flags & IFF_UP) && (l.flags & IFF_RUNNING);
  return running && !(l.flags & IFF_LOOPBACK) ? kOperStatusOperational : 0;
}

}  // namespace

bool ReadInterfaceTable(std::vector<InterfaceRow>& rows) {
  std::map<unsigned, LinkInfo> links;
  if (!ReadLinks(links)) return false;
  rows.clear();
  for (const auto& [index, l] : links) {
    (void)index;
    InterfaceRow r;
    r.operStatus = OperStatus(l);
    r.physAddrLen = l.addrLen;
    std::memcpy(r.physAddr, l.addr, sizeof(r.physAddr));
    rows.push_back(r);
  }
  return true;
}

bool ReadAdapterList(std::vector<AdapterEntry>& adapters) {
  std::map<unsigned, LinkInfo> links;
  if (!ReadLinks(links)) return false;
  adapters.clear();
  for (const auto& [index, l] : links) {
    (void)index;
    if (l.flags & IFF_LOOPBACK) continue;
    AdapterEntry a;
    a.addressLength = l.addrLen;
    std::memcpy(a.address, l.addr, sizeof(a.address));
    a.ipAddresses = l.ipv4;
    adapters.push_back(a);
  }
  return true;
}

}  // namespace kplat
