// The simulator's side of the reply tags (ReplyTag.h): counting the requests
// of each TCP link and marking the replies.
#pragma once

#include <cstdint>
#include <memory>

#include "protocol/PacketHead.h"
#include "simulator/ReplyTag.h"
#include "simulator/RequestKind.h"

namespace kdl::sim {

// What a TCP link keeps for the tags: its session and the serial of its
// last request.
struct LinkTags {
  uint32_t session = 0;
  uint32_t serial = 0;
};

// Counts one request of `kind` on a link that had `link`: a login (its name
// in `request`) starts a session at serial 0, any other request takes the
// next serial. Returns the link's tags after it, which name this request.
LinkTags CountRequest(RequestKind kind, const PacketZVDiskless::CPacketHead& request,
                      LinkTags link);

// Adds the tag of the request `tags` names (result 0) to the records of
// `reply`: the login reply's ExtInfo, a record appended to the image list,
// an image with one snapshot appended to the image information, the select
// path's end. A reply that grows is replaced; null and other replies are
// left alone. False when memory for the larger reply ran out (the reply is
// then as it was).
bool AddTagRecords(const LinkTags& tags, std::unique_ptr<PacketZVDiskless::CPacketHead>* reply);

// The result code to send for the request `tags` names: the tag word with
// `err`, or `err` itself when it does not fit a tag.
uint32_t TaggedResult(const LinkTags& tags, uint32_t err);

}  // namespace kdl::sim
