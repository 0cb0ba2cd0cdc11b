// A transport double for the fuzz targets: the functions of
// BasePlatform/Transport.h, in memory and synchronous. Received bytes come
// from the fuzzer's input and reach the registered callbacks on the calling
// thread, TCP bytes cut into packets by the transport's own CPacketFramer,
// read in the input's chunk sizes, with the events the real component gives
// (a bad Length: protocol error, then closed).
#pragma once

#include <cstdint>
#include <vector>

#include "fuzz/FuzzStream.h"

namespace kdl::fuzz {

// The next TcpSend is answered with `packet` delivered whole.
void AnswerNextSend(std::vector<uint8_t> packet);
// The next TcpSend or UdpSendTo is answered with the stream of `input`
// (TCP: through the cutter; UDP: each chunk one datagram from 10.0.0.5:800),
// then the link or endpoint is reported closed, so that no wait is left.
void FeedNextSend(const CStreamInput* input);
// Forgets an answer that no send took.
void ForgetAnswer();

// Delivers the stream of `input` now, with no send before it.
void FeedTcp(uint32_t link, const CStreamInput& input);
void FeedUdp(uint32_t endpoint, const CStreamInput& input);
void CloseTcp(uint32_t link);

}  // namespace kdl::fuzz
