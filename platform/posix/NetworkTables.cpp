// The interface table and the adapter list on Linux: names, hardware and
// IPv4 addresses from getifaddrs(), operational states from a netlink link
// dump (which, unlike /sys/class/net, always describes the caller's network
// namespace).
#include <ifaddrs.h>
#include <net/if.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <unistd.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>

#include "platform/Platform.h"

namespace kdl::plat {

namespace {

// One network interface as the kernel lists it.
struct LinkInfo {
  std::string name;
  unsigned flags = 0;
  uint32_t addrLen = 0;
  uint8_t addr[8] = {};
  std::vector<std::string> ipv4;
};

// Interfaces keyed (and so ordered) by their index. Throws std::bad_alloc
// when out of memory (the kernel's list is released all the same).
bool ReadLinks(std::map<unsigned, LinkInfo>& links) {
  struct ifaddrs* raw = nullptr;
  if (getifaddrs(&raw) != 0) return false;
  const std::unique_ptr<struct ifaddrs, void (*)(struct ifaddrs*)> list(raw, freeifaddrs);
  for (struct ifaddrs* a = raw; a != nullptr; a = a->ifa_next) {
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
  return true;
}

// Operational states (IF_OPER_*) of all interfaces by index, from one
// RTM_GETLINK dump. False when netlink cannot be used.
bool ReadOperStates(std::map<unsigned, uint8_t>& states) {
  std::vector<char> buf(64 * 1024);
  const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd < 0) return false;
  // Closed on every way out, also when the map cannot grow.
  const std::unique_ptr<const int, void (*)(const int*)> closer(&fd, [](const int* f) { close(*f); });
  struct {
    nlmsghdr nh;
    ifinfomsg ifi;
  } req;
  std::memset(&req, 0, sizeof(req));
  req.nh.nlmsg_len = NLMSG_LENGTH(sizeof(ifinfomsg));
  req.nh.nlmsg_type = RTM_GETLINK;
  req.nh.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  req.nh.nlmsg_seq = 1;
  req.ifi.ifi_family = AF_UNSPEC;
  sockaddr_nl kernel;
  std::memset(&kernel, 0, sizeof(kernel));
  kernel.nl_family = AF_NETLINK;
  if (sendto(fd, &req, req.nh.nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel),
             sizeof(kernel)) < 0) {
    return false;
  }
  bool ok = true;
  for (bool done = false; !done;) {
    ssize_t got = recv(fd, buf.data(), buf.size(), 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      ok = false;
      break;
    }
    int len = static_cast<int>(got);
    for (auto* h = reinterpret_cast<nlmsghdr*>(buf.data()); NLMSG_OK(h, len);
         h = NLMSG_NEXT(h, len)) {
      if (h->nlmsg_type == NLMSG_DONE || h->nlmsg_type == NLMSG_ERROR) {
        ok = h->nlmsg_type == NLMSG_DONE;
        done = true;
        break;
      }
      if (h->nlmsg_type != RTM_NEWLINK || h->nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg))) {
        continue;
      }
      const auto* ifi = static_cast<const ifinfomsg*>(NLMSG_DATA(h));
      int attrLen = static_cast<int>(IFLA_PAYLOAD(h));
      for (auto* a = IFLA_RTA(ifi); RTA_OK(a, attrLen); a = RTA_NEXT(a, attrLen)) {
        if (a->rta_type == IFLA_OPERSTATE && RTA_PAYLOAD(a) >= 1) {
          states[static_cast<unsigned>(ifi->ifi_index)] = *static_cast<const uint8_t*>(RTA_DATA(a));
        }
      }
    }
  }
  return ok;
}

// Kernel operstate values (IF_OPER_DORMANT, IF_OPER_UP of <linux/if.h>,
// which clashes with <net/if.h>).
constexpr uint8_t kOperDormant = 5;
constexpr uint8_t kOperUp = 6;

// Windows-style operational status: 5 (operational) for a link whose
// operstate is up.
uint32_t ToOperStatus(uint8_t operstate) {
  if (operstate == kOperUp) return kOperStatusOperational;
  if (operstate == kOperDormant) return 3;  // connecting
  return 0;                                    // non-operational
}

// Without netlink: the operstate file, else the interface flags.
uint32_t OperStatusFallback(const LinkInfo& l) {
  std::ifstream f("/sys/class/net/" + l.name + "/operstate");
  std::string state;
  if (f >> state) return state == "up" ? kOperStatusOperational : 0;
  const bool running = (l.flags & IFF_UP) && (l.flags & IFF_RUNNING);
  return running && !(l.flags & IFF_LOOPBACK) ? kOperStatusOperational : 0;
}

}  // namespace

bool ReadInterfaceTable(std::vector<InterfaceRow>& rows) {
  std::map<unsigned, LinkInfo> links;
  if (!ReadLinks(links)) return false;
  std::map<unsigned, uint8_t> states;
  const bool haveStates = ReadOperStates(states);
  rows.clear();
  for (const auto& [index, l] : links) {
    InterfaceRow r;
    if (haveStates) {
      auto it = states.find(index);
      r.operStatus = it == states.end() ? 0 : ToOperStatus(it->second);
    } else {
      r.operStatus = OperStatusFallback(l);
    }
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

}  // namespace kdl::plat
