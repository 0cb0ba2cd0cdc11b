// Choice of the local IPv4 address: the first IPv4 address of the adapter
// whose hardware address is that of the first operational interface.
#pragma once

#include <functional>
#include <vector>

#include "platform/Platform.h"

namespace kdl::plat {

// The two system tables the choice is made from, with whether each could be
// read.
struct NetworkTables {
  std::vector<InterfaceRow> rows;
  bool rowsOk = false;
  std::vector<AdapterEntry> adapters;
  bool adaptersOk = false;
};

// Applies the rules to given tables and writes the address text, NUL
// terminated, into `out` (32 bytes). Returns true when it wrote `out`; on
// false `out` is left exactly as it was.
//  - Hardware address: 16 zero bytes; the first row with operStatus 5 copies
//    its physAddrLen bytes (at most the 8 a row holds). An unreadable table
//    or no operational row leaves it zero.
//  - Adapter: the adapters are walked in list order and the first one whose
//    address equals the hardware address in exactly 6 bytes, whatever the
//    lengths, and that has an IPv4 address gives its first address, cut to
//    31 characters. An adapter that matches but has no usable address (none,
//    empty text or "0.0.0.0", as Windows reports an adapter without one) is
//    passed over, so that a bond slave or a VLAN parent sharing the MAC of
//    the addressed interface does not hide it.
//  - An unreadable adapter list, or no adapter that qualifies, writes nothing.
bool PickLocalAddressFrom(const std::vector<InterfaceRow>& rows, bool rowsOk,
                          const std::vector<AdapterEntry>& adapters, bool adaptersOk,
                          char out[32]);

// Reads the tables (through the test source if one is set) and applies the
// rules above. Returns true when it wrote `out`.
bool PickLocalAddress(char out[32]);

// The system's tables, as ReadInterfaceTable and ReadAdapterList give them.
NetworkTables ReadSystemNetworkTables();

// Tables of one operational interface whose adapter has `ip`: the fixed
// answer that tests and benchmarks on loopback hand to the source below.
NetworkTables TablesWithOneAddress(const char* ip);

// Replaces the table source of PickLocalAddress, so tests get a fixed
// answer. An empty function restores the system's tables.
using NetworkTablesSource = std::function<NetworkTables()>;
void SetNetworkTablesSourceForTest(NetworkTablesSource source);

}  // namespace kdl::plat
