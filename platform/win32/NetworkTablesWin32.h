// The interface table and the adapter list read through IP Helper. The two
// calls are passed in, so that tests can stand in for GetIfTable and
// GetAdaptersInfo and drive the buffer-growth paths.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include <vector>

#include "platform/Platform.h"

namespace kdl::plat {
namespace win32 {

using GetIfTableFn = DWORD(WINAPI*)(PMIB_IFTABLE table, PULONG size, WINBOOL order);
using GetAdaptersInfoFn = ULONG(WINAPI*)(PIP_ADAPTER_INFO list, PULONG size);

// First buffer sizes: the interface table with room for one row, and the
// adapter list's customary first guess.
constexpr ULONG kIfTableFirstSize = 864;
constexpr ULONG kAdapterListFirstSize = 648;
// A buffer that is too small is grown to the size the call asks for and the
// call is made again, a few times at most (the tables can grow in between).
constexpr int kMaxRetries = 4;

// The table in table order (unsorted); false when it cannot be read. The
// loopback pseudo-interface counts as not operational, as on Linux: Windows
// lists it first and operational but without a hardware address, so taken
// as the first operational interface it could never name an adapter and no
// local address would ever be found.
bool ReadInterfaceTableWith(GetIfTableFn getIfTable, std::vector<InterfaceRow>& rows);
// The adapters in list order; false when the list cannot be read (also when
// there is no adapter at all).
bool ReadAdapterListWith(GetAdaptersInfoFn getAdaptersInfo, std::vector<AdapterEntry>& adapters);

}  // namespace win32
}  // namespace kdl::plat
