// Disk-server family (0x0003xxxx): disk-server login, sync, I/O information, administrator records, summary reports.
#pragma once

#include "protocol/PacketTable.h"
#include "protocol/ToolPackets.h"

namespace PacketZVDiskless {}  // namespace PacketZVDiskless

// Code table of the family (filled as its classes are written).
#define KELVANE_DISKSVR_PACKETS(ROW)
