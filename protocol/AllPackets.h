// Every packet family, and the complete code table of the protocol.
#pragma once

#include "protocol/CSPackets.h"
#include "protocol/ClientPackets.h"
#include "protocol/ConsolePackets.h"
#include "protocol/DiskS2SPackets.h"
#include "protocol/DiskSvrPackets.h"
#include "protocol/ExceptionPackets.h"
#include "protocol/LocalToolsPackets.h"
#include "protocol/NDPackets.h"
#include "protocol/PnpPackets.h"
#include "protocol/ToolPackets.h"

// All rows of all families: ROW(code, KIND, arg, TAIL), see PacketTable.h.
#define KELVANE_ALL_PACKETS(ROW)   \
  KELVANE_CLIENT_PACKETS(ROW)      \
  KELVANE_CONSOLE_PACKETS(ROW)     \
  KELVANE_TOOL_PACKETS(ROW)        \
  KELVANE_DISKSVR_PACKETS(ROW)     \
  KELVANE_DISKS2S_PACKETS(ROW)     \
  KELVANE_PNP_PACKETS(ROW)         \
  KELVANE_LOCALTOOLS_PACKETS(ROW)  \
  KELVANE_CS_PACKETS(ROW)          \
  KELVANE_EXCEPTION_PACKETS(ROW)   \
  KELVANE_ND_PACKETS(ROW)
