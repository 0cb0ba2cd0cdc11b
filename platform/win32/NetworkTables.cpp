// The interface table (GetIfTable) and the adapter list (GetAdaptersInfo) on
// Windows.
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include <cstring>

#include "platform/Platform.h"

namespace kplat {

bool ReadInterfaceTable(std::vector<InterfaceRow>& rows) {
  std::vector<unsigned char> buf(864);
  ULONG size = static_cast<ULONG>(buf.size());
  DWORD rc = GetIfTable(reinterpret_cast<MIB_IFTABLE*>(buf.data()), &size, FALSE);
  // The table can grow between two calls; ask again a few times.
  for (int tries = 0; rc == ERROR_INSUFFICIENT_BUFFER && tries < 4; ++tries) {
    buf.resize(size);
    rc = GetIfTable(reinterpret_cast<MIB_IFTABLE*>(buf.data()), &size, FALSE);
  }
  if (rc != NO_ERROR) return false;
  const auto* table = reinterpret_cast<const MIB_IFTABLE*>(buf.data());
  rows.clear();
  for (DWORD i = 0; i < table->dwNumEntries; ++i) {
    const MIB_IFROW& src = table->table[i];
    InterfaceRow r;
    r.operStatus = src.dwOperStatus;
    r.physAddrLen = src.dwPhysAddrLen;
    std::memcpy(r.physAddr, src.bPhysAddr, sizeof(r.physAddr));
    rows.push_back(r);
  }
  return true;
}

bool ReadAdapterList(std::vector<AdapterEntry>& adapters) {
  std::vector<unsigned char> buf(648);
  ULONG size = static_cast<ULONG>(buf.size());
  DWORD rc = GetAdaptersInfo(reinterpret_cast<IP_ADAPTER_INFO*>(buf.data()), &size);
  for (int tries = 0; rc == ERROR_BUFFER_OVERFLOW && tries < 4; ++tries) {
    buf.resize(size);
    rc = GetAdaptersInfo(reinterpret_cast<IP_ADAPTER_INFO*>(buf.data()), &size);
  }
  if (rc != ERROR_SUCCESS) return false;
  adapters.clear();
  for (const IP_ADAPTER_INFO* a = reinterpret_cast<const IP_ADAPTER_INFO*>(buf.data());
       a != nullptr; a = a->Next) {
    AdapterEntry e;
    e.addressLength = a->AddressLength;
    std::memcpy(e.address, a->Address, sizeof(e.address));
    for (const IP_ADDR_STRING* ip = &a->IpAddressList; ip != nullptr; ip = ip->Next) {
      e.ipAddresses.emplace_back(ip->IpAddress.String);
    }
    adapters.push_back(e);
  }
  return true;
}

}  // namespace kplat
