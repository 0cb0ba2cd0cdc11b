// Client family (0x0000xxxx): client boot, registration, login and disk I/O.
#pragma once

#include "protocol/PacketTable.h"
#include "protocol/ToolPackets.h"

namespace PacketZVDiskless {}  // namespace PacketZVDiskless

// Code table of the family (filled as its classes are written).
#define KELVANE_CLIENT_PACKETS(ROW) \
  ROW(0x00000001, HEAD, 0)
