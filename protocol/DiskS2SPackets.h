// Disk-server-to-server family (0x0004xxxx): version information and version data.
#pragma once

#include "protocol/PacketTable.h"
#include "protocol/ToolPackets.h"

namespace PacketZVDiskless {}  // namespace PacketZVDiskless

// Code table of the family (filled as its classes are written).
#define KELVANE_DISKS2S_PACKETS(ROW)
