// Turns received bytes into a packet of the class that the head's Type names.
#pragma once

#include "protocol/PacketHead.h"

namespace PacketZVDiskless {

// Reads the head, builds the class of its Type and lets it read its body.
// Returns a new packet that the caller owns, or null when the stream holds
// fewer than 24 bytes, the code is unknown or the body does not decode.
// Length is not checked here, and surplus bytes are left unread.
CPacketHead* CreatePacket(CPktReadStream& stream);

}  // namespace PacketZVDiskless
