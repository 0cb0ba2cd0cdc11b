// The interface table (GetIfTable) and the adapter list (GetAdaptersInfo) on
// Windows.
#include "platform/win32/NetworkTablesWin32.h"

#include <cstddef>
#include <cstring>

namespace kdl::plat {
namespace win32 {

namespace {

// Calls `read` with a buffer of `first` bytes and, while it answers
// `tooSmall`, again with a buffer of the size it asked for. The buffer keeps
// the final answer's bytes.
template <class Read>
DWORD ReadGrowing(ULONG first, DWORD tooSmall, std::vector<unsigned char>& buf, Read read) {
  buf.assign(first, 0);
  ULONG size = first;
  DWORD rc = read(buf.data(), &size);
  for (int tries = 0; rc == tooSmall && tries < kMaxRetries; ++tries) {
    if (size <= buf.size()) break;  // asks for no more than it had: give up
    buf.assign(size, 0);
    rc = read(buf.data(), &size);
  }
  return rc;
}

}  // namespace

bool ReadInterfaceTableWith(GetIfTableFn getIfTable, std::vector<InterfaceRow>& rows) {
  if (getIfTable == nullptr) return false;
  std::vector<unsigned char> buf;
  const DWORD rc = ReadGrowing(kIfTableFirstSize, ERROR_INSUFFICIENT_BUFFER, buf,
                               [getIfTable](unsigned char* p, ULONG* size) {
                                 return getIfTable(reinterpret_cast<MIB_IFTABLE*>(p), size, FALSE);
                               });
  if (rc != NO_ERROR || buf.size() < offsetof(MIB_IFTABLE, table)) return false;
  const auto* table = reinterpret_cast<const MIB_IFTABLE*>(buf.data());
  // Never read rows beyond the buffer, whatever the count says.
  const size_t fit = (buf.size() - offsetof(MIB_IFTABLE, table)) / sizeof(MIB_IFROW);
  const size_t count = table->dwNumEntries < fit ? table->dwNumEntries : fit;
  rows.clear();
  for (size_t i = 0; i < count; ++i) {
    const MIB_IFROW& src = table->table[i];
    InterfaceRow r;
    r.operStatus = src.dwType == IF_TYPE_SOFTWARE_LOOPBACK ? 0 : src.dwOperStatus;
    r.physAddrLen = src.dwPhysAddrLen;
    std::memcpy(r.physAddr, src.bPhysAddr, sizeof(r.physAddr));
    rows.push_back(r);
  }
  return true;
}

bool ReadAdapterListWith(GetAdaptersInfoFn getAdaptersInfo, std::vector<AdapterEntry>& adapters) {
  if (getAdaptersInfo == nullptr) return false;
  std::vector<unsigned char> buf;
  const DWORD rc = ReadGrowing(kAdapterListFirstSize, ERROR_BUFFER_OVERFLOW, buf,
                               [getAdaptersInfo](unsigned char* p, ULONG* size) {
                                 return getAdaptersInfo(reinterpret_cast<IP_ADAPTER_INFO*>(p),
                                                        size);
                               });
  if (rc != ERROR_SUCCESS || buf.size() < sizeof(IP_ADAPTER_INFO)) return false;
  adapters.clear();
  for (const IP_ADAPTER_INFO* a = reinterpret_cast<const IP_ADAPTER_INFO*>(buf.data());
       a != nullptr; a = a->Next) {
    AdapterEntry e;
    e.addressLength = a->AddressLength;
    std::memcpy(e.address, a->Address, sizeof(e.address));
    for (const IP_ADDR_STRING* ip = &a->IpAddressList; ip != nullptr; ip = ip->Next) {
      const char* text = ip->IpAddress.String;
      e.ipAddresses.emplace_back(text, strnlen(text, sizeof(ip->IpAddress.String)));
    }
    adapters.push_back(e);
  }
  return true;
}

}  // namespace win32

bool ReadInterfaceTable(std::vector<InterfaceRow>& rows) {
  return win32::ReadInterfaceTableWith(&GetIfTable, rows);
}

bool ReadAdapterList(std::vector<AdapterEntry>& adapters) {
  return win32::ReadAdapterListWith(&GetAdaptersInfo, adapters);
}

}  // namespace kdl::plat
