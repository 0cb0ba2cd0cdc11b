// The request handler's test fixture: a small image store, a logged-in TCP
// peer and a UDP peer, and the head of hand-written requests.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "protocol/PacketFactory.h"
#include "simulator/ImageStore.h"
#include "simulator/RequestHandler.h"
#include "simulator/ServerConfig.h"
#include "tests/protocol/TestBytes.h"

namespace kdl::sim {

inline const char kImagesJson[] = R"({"images": [
  {"id": 1, "name": "base", "param1": 1, "param2": 2, "param3": 40960,
   "text1": "t1", "text2": "t2", "param4": 4, "param5": 5, "param6": 6,
   "snapshots": [
     {"id": 7, "param2": 12, "param3": 13, "param4": 14, "param5": 15, "param6": 16,
      "text": "seven", "time": "2026-03-04 05:06:07"}]},
  {"id": 5, "name": "Classroom", "param1": 2, "path": "/img/class.img"}
]})";

// Head of a request or reply: type, length, error code; other words 0.
inline test::Bytes Head(uint32_t type, uint32_t length, uint32_t err = 0) {
  auto le = [](uint32_t v) {
    return test::Bytes{uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
  };
  return test::Zeros(4) + le(type) + le(length) + test::Zeros(4) + le(err) + test::Zeros(4);
}

inline test::Bytes U32(uint32_t v) {
  return test::Bytes{uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}

class HandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(store.LoadJson(kImagesJson, &error)) << error;
    tcp.peer = "10.77.0.2:40000";
    tcp.serverIp = 0x0A4D0001;  // 10.77.0.1
    tcp.tcpPort = 8000;
    tcp.loggedIn = true;
    udp = tcp;
    udp.udp = true;
  }
  Reply Send(const test::Bytes& frame, const PeerContext& ctx) {
    CRequestHandler handler(store, config);
    return handler.Handle(frame.data(), frame.size(), ctx);
  }
  // Decodes a reply with the packet factory; null when it does not decode.
  static std::unique_ptr<PacketZVDiskless::CPacketHead> Decode(const Reply& r) {
    PacketZVDiskless::CPktReadStream in(r.bytes.data(), static_cast<uint32_t>(r.bytes.size()),
                                        false);
    return std::unique_ptr<PacketZVDiskless::CPacketHead>(PacketZVDiskless::CreatePacket(in));
  }

  ImageStore store;
  ServerConfig config;
  PeerContext tcp, udp;
};

}  // namespace kdl::sim
