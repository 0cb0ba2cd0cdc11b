// Console family (0x0001xxxx): console login, server records, snapshots, images, client groups and configuration.
#pragma once

#include "protocol/PacketTable.h"
#include "protocol/ToolPackets.h"

namespace PacketZVDiskless {}  // namespace PacketZVDiskless

// Code table of the family (filled as its classes are written).
#define KELVANE_CONSOLE_PACKETS(ROW)
