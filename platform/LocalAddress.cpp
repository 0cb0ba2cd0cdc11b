// Local IPv4 address choice; the rules do not depend on the system.
#include "platform/LocalAddress.h"

#include <cstring>
#include <mutex>

#include "util/Text.h"

namespace kdl::plat {

namespace {

std::mutex& SourceMutex() {
  static std::mutex m;
  return m;
}

NetworkTablesSource& Source() {
  static NetworkTablesSource s;
  return s;
}

bool UsableAddress(const std::string& ip) { return !ip.empty() && ip != "0.0.0.0"; }

}  // namespace

bool PickLocalAddressFrom(const std::vector<InterfaceRow>& rows, bool rowsOk,
                          const std::vector<AdapterEntry>& adapters, bool adaptersOk,
                          char out[32]) {
  uint8_t hw[16] = {};
  if (rowsOk) {
    for (const InterfaceRow& r : rows) {
      if (r.operStatus != kOperStatusOperational) continue;
      size_t n = r.physAddrLen < sizeof(r.physAddr) ? r.physAddrLen : sizeof(r.physAddr);
      std::memcpy(hw, r.physAddr, n);
      break;
    }
  }
  if (!adaptersOk || out == nullptr) return false;
  for (const AdapterEntry& a : adapters) {
    if (std::memcmp(a.address, hw, 6) != 0) continue;
    // Deliberate: an adapter with the right hardware address but no usable
    // IPv4 address is passed over for the next match, instead of ending the
    // search with an empty address.
    if (a.ipAddresses.empty() || !UsableAddress(a.ipAddresses.front())) continue;
    const std::string& ip = a.ipAddresses.front();
    kdl::util::CopyTerminated(out, 32, ip.data(), ip.size());
    return true;
  }
  return false;
}

NetworkTables ReadSystemNetworkTables() {
  NetworkTables t;
  t.rowsOk = ReadInterfaceTable(t.rows);
  t.adaptersOk = ReadAdapterList(t.adapters);
  return t;
}

bool PickLocalAddress(char out[32]) {
  try {
    NetworkTablesSource source;
    {
      std::lock_guard<std::mutex> hold(SourceMutex());
      source = Source();
    }
    NetworkTables t = source ? source() : ReadSystemNetworkTables();
    return PickLocalAddressFrom(t.rows, t.rowsOk, t.adapters, t.adaptersOk, out);
  } catch (...) {
    return false;  // out of memory while reading the tables: no address
  }
}

NetworkTables TablesWithOneAddress(const char* ip) {
  static const uint8_t kMac[6] = {0x02, 0x00, 0x5E, 0x10, 0x20, 0x30};  // locally administered
  NetworkTables t;
  InterfaceRow row;
  row.operStatus = kOperStatusOperational;
  row.physAddrLen = sizeof(kMac);
  std::memcpy(row.physAddr, kMac, sizeof(kMac));
  t.rows.push_back(row);
  t.rowsOk = true;
  AdapterEntry adapter;
  adapter.addressLength = sizeof(kMac);
  std::memcpy(adapter.address, kMac, sizeof(kMac));
  adapter.ipAddresses.push_back(ip);
  t.adapters.push_back(adapter);
  t.adaptersOk = true;
  return t;
}

void SetNetworkTablesSourceForTest(NetworkTablesSource source) {
  std::lock_guard<std::mutex> hold(SourceMutex());
  Source() = std::move(source);
}

}  // namespace kdl::plat
