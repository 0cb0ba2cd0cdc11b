// The simulator without sockets: image store, request handling with
// hand-written wire bytes and fault modes.
#include <gtest/gtest.h>

#include <memory>

#include "protocol/ToolPackets.h"
#include "simulator/ImageStore.h"
#include "simulator/RequestHandler.h"
#include "simulator/ServerConfig.h"
#include "tests/protocol/TestBytes.h"
#include "tests/simulator/HandlerFixture.h"

namespace kdl::sim {
namespace {

using kdl::test::Bytes;
using kdl::test::Chars;
using kdl::test::Hex;
using kdl::test::Zeros;

TEST_F(HandlerTest, DiscoverRepliesWithTcpPortOnUdpOnly) {
  Reply r = Send(Head(0x00020000, 24), udp);
  ASSERT_TRUE(r.send) << r.logLine;
  // Head of 0x80020000, Length 32, a count of 1 and TcpPort 8000 (0x1F40).
  EXPECT_EQ(Bytes(r.bytes), Head(0x80020000, 32) + Hex("01 00 00 00  40 1F 00 00"));
  EXPECT_NE(r.logLine.find("udp 10.77.0.2:40000 discover"), std::string::npos) << r.logLine;

  Reply onTcp = Send(Head(0x00020000, 24), tcp);
  EXPECT_FALSE(onTcp.send);
  Reply loginOnUdp = Send(Head(0x00020001, 56) + Chars("x", 32), udp);
  EXPECT_FALSE(loginOnUdp.send);
}

TEST_F(HandlerTest, LoginRepliesWithConfiguredNumbers) {
  config.clientType = 3;
  config.managerEnable = 1;
  config.extInfo = 0x11223344;
  Reply r = Send(Head(0x00020001, 56) + Chars("kelvane", 32), tcp);
  ASSERT_TRUE(r.send);
  EXPECT_EQ(Bytes(r.bytes),
            Head(0x80020001, 36) + Hex("03 00 00 00  01 00 00 00  44 33 22 11"));
  EXPECT_NE(r.logLine.find("login name=\"kelvane\" -> err=0"), std::string::npos) << r.logLine;
}

TEST_F(HandlerTest, LoginNameOf32BytesWithoutNulIsReadWithinItsField) {
  Reply r = Send(Head(0x00020001, 56) + Chars("abcdefghijklmnopqrstuvwxyz012345", 32), tcp);
  ASSERT_TRUE(r.send);
  EXPECT_NE(r.logLine.find("name=\"abcdefghijklmnopqrstuvwxyz012345\" ->"), std::string::npos)
      << r.logLine;
}

TEST_F(HandlerTest, ImageListCarriesEveryImageAndTheServerAddress) {
  Reply r = Send(Head(0x00020006, 24), tcp);
  ASSERT_TRUE(r.send);
  Bytes expected = Head(0x80020006, 36 + 2 * 272) + U32(0x0A4D0001) + U32(8000) + U32(2) +
                   U32(1) + Chars("base", 260) + U32(1) + U32(2) +
                   U32(5) + Chars("Classroom", 260) + U32(2) + U32(0);
  EXPECT_EQ(kdl::test::ToHex(Bytes(r.bytes)), kdl::test::ToHex(expected));
}

TEST_F(HandlerTest, ImageInfoCarriesImagesWithTheirSnapshots) {
  Reply r = Send(Head(0x00020002, 24), tcp);
  ASSERT_TRUE(r.send);
  Bytes image1 = U32(1) + U32(2) + U32(40960) + Chars("t1", 64) + U32(4) + Chars("t2", 260) +
                 U32(5) + U32(6) + U32(1) +
                 // snapshot 7: five numbers, text, time as six 16-bit values
                 U32(7) + U32(12) + U32(13) + U32(14) + U32(15) + U32(16) + Chars("seven", 64) +
                 Hex("EA 07 03 00 04 00 05 00 06 00 07 00");
  Bytes image5 = U32(5) + U32(0) + U32(0) + Zeros(64) + U32(0) + Zeros(260) + U32(0) + U32(0) +
                 U32(0);
  Bytes expected = Head(0x80020002, 28 + 452 + 352) + U32(2) + image1 + image5;
  EXPECT_EQ(kdl::test::ToHex(Bytes(r.bytes)), kdl::test::ToHex(expected));
}

TEST_F(HandlerTest, CreateAddsTheImageAndRefusesATakenName) {
  auto create = [](const char* name, uint32_t p1, uint32_t p2) {
    return Head(0x00020009, 300) + U32(1) + U32(0) + Chars(name, 260) + U32(p1) + U32(p2);
  };
  Reply r = Send(create("fresh", 1, 9), tcp);
  EXPECT_EQ(Bytes(r.bytes), Head(0x80020009, 24));
  const ImageEntry* added = store.Find(6);  // one past the highest id
  ASSERT_NE(added, nullptr);
  EXPECT_EQ(added->name, "fresh");
  EXPECT_EQ(added->param1, 1u);
  EXPECT_EQ(added->param2, 9u);

  // Names are compared without case; the store stays as it was.
  Reply dup = Send(create("CLASSROOM", 1, 0), tcp);
  EXPECT_EQ(Bytes(dup.bytes), Head(0x80020009, 24, kErrImageExists));
  EXPECT_EQ(store.Images().size(), 3u);

  // The new image shows up in the next list.
  Reply list = Send(Head(0x00020006, 24), tcp);
  auto pkt = Decode(list);
  auto* ack = dynamic_cast<PacketZVDiskless::CPktToolQueryImgInfoListAck*>(pkt.get());
  ASSERT_NE(ack, nullptr);
  ASSERT_EQ(ack->Images.Held(), 3u);
  EXPECT_STREQ(ack->Images.GetAt(2)->Name, "fresh");
  EXPECT_EQ(ack->Images.GetAt(2)->ImageId, 6u);
}

TEST_F(HandlerTest, CreateWithoutARecordOrNameIsInvalid) {
  Reply none = Send(Head(0x00020009, 28) + U32(0), tcp);
  EXPECT_EQ(Bytes(none.bytes), Head(0x80020009, 24, kErrInvalidRequest));
  Reply empty = Send(Head(0x00020009, 300) + U32(1) + U32(0) + Zeros(260) + U32(1) + U32(0), tcp);
  EXPECT_EQ(Bytes(empty.bytes), Head(0x80020009, 24, kErrInvalidRequest));
  EXPECT_EQ(store.Images().size(), 2u);
}

TEST_F(HandlerTest, SelectAnswersAPathOrAnUnknownImage) {
  config.imageRoot = "/srv/img";
  Reply known = Send(Head(0x00020005, 32) + U32(0) + U32(1), tcp);
  EXPECT_EQ(Bytes(known.bytes), Head(0x80020005, 281) + Hex("01") + Chars("/srv/img/base.img", 256));
  Reply ownPath = Send(Head(0x00020005, 32) + U32(0) + U32(5), tcp);
  EXPECT_EQ(Bytes(ownPath.bytes), Head(0x80020005, 281) + Hex("01") + Chars("/img/class.img", 256));
  Reply unknown = Send(Head(0x00020005, 32) + U32(0) + U32(99), tcp);
  EXPECT_EQ(Bytes(unknown.bytes), Head(0x80020005, 281, kErrUnknownImage) + Zeros(257));
}

TEST_F(HandlerTest, AdministratorRequestsAndKeepAlive) {
  Reply set = Send(Head(0x00020003, 36) + U32(1) + U32(0) + U32(7), tcp);
  EXPECT_EQ(Bytes(set.bytes), Head(0x80020003, 24));
  EXPECT_NE(set.logLine.find("set-admin param1=0 param2=7"), std::string::npos) << set.logLine;

  Reply cancel = Send(Head(0x00020004, 304) + U32(1) + U32(0) + U32(0) + U32(1) + U32(0) +
                          Chars("bye \"now\"\x01", 260),
                      tcp);
  EXPECT_EQ(Bytes(cancel.bytes), Head(0x80020004, 24));
  EXPECT_NE(cancel.logLine.find("flags=1,0 text=\"bye \\x22now\\x22\\x01\""), std::string::npos)
      << cancel.logLine;

  Reply keepAlive = Send(Head(0x00000001, 24), tcp);
  EXPECT_FALSE(keepAlive.send);
  EXPECT_EQ(keepAlive.kind, RequestKind::kHeartbeat);
}

TEST_F(HandlerTest, OnlyASuccessfulLoginLogsTheLinkIn) {
  tcp.loggedIn = false;
  udp.loggedIn = false;
  Reply early = Send(Head(0x00020005, 32) + U32(0) + U32(1), tcp);
  EXPECT_EQ(Bytes(early.bytes), Head(0x80020005, 281, kErrNotLoggedIn) + Zeros(257));
  EXPECT_TRUE(Send(Head(0x00020000, 24), udp).send);  // discovery needs none
  const Bytes login = Head(0x00020001, 56) + Chars("a", 32);
  EXPECT_TRUE(Send(login, tcp).loggedIn);
  config.Fault(RequestKind::kLogin).forceErr = true;
  config.Fault(RequestKind::kLogin).errCode = 5;
  EXPECT_FALSE(Send(login, tcp).loggedIn);
}

TEST_F(HandlerTest, FramesThatAreNoRequestsGetNoReply) {
  EXPECT_FALSE(Send(Hex("00 01 02"), tcp).send);                       // shorter than a head
  EXPECT_FALSE(Send(Head(0x00020005, 28) + U32(0), tcp).send);         // body cut short
  EXPECT_FALSE(Send(Head(0x80020001, 36) + Zeros(12), tcp).send);      // a reply, not a request
  Reply foreign = Send(Head(0x00FE0001, 24), tcp);
  EXPECT_FALSE(foreign.send);
  EXPECT_NE(foreign.logLine.find("0x00FE0001"), std::string::npos) << foreign.logLine;
}

TEST_F(HandlerTest, FaultModes) {
  config.Fault(RequestKind::kLogin).noReply = true;
  Reply silent = Send(Head(0x00020001, 56) + Chars("a", 32), tcp);
  EXPECT_FALSE(silent.send);
  EXPECT_NE(silent.logLine.find("not sent"), std::string::npos);

  config.Fault(RequestKind::kImages).delayMs = 1500;
  EXPECT_EQ(Send(Head(0x00020006, 24), tcp).delayMs, 1500u);

  // A forced error refuses a create: nothing is added.
  config.Fault(RequestKind::kCreate).forceErr = true;
  config.Fault(RequestKind::kCreate).errCode = 5;
  Reply refused = Send(Head(0x00020009, 300) + U32(1) + U32(0) + Chars("new", 260) + U32(1) +
                           U32(0),
                       tcp);
  EXPECT_EQ(Bytes(refused.bytes), Head(0x80020009, 24, 5));
  EXPECT_FALSE(store.HasName("new"));

  // Length off by +8 on the discover reply; absolute 12 on set-admin.
  config.Fault(RequestKind::kDiscover).badLength = true;
  config.Fault(RequestKind::kDiscover).lengthRelative = true;
  config.Fault(RequestKind::kDiscover).lengthValue = 8;
  Reply longer = Send(Head(0x00020000, 24), udp);
  EXPECT_EQ(Bytes(longer.bytes), Head(0x80020000, 40) + Hex("01 00 00 00  40 1F 00 00"));
  config.Fault(RequestKind::kSetAdmin).badLength = true;
  config.Fault(RequestKind::kSetAdmin).lengthValue = 12;
  Reply shortLen = Send(Head(0x00020003, 36) + U32(1) + U32(0) + U32(7), tcp);
  EXPECT_EQ(Bytes(shortLen.bytes), Head(0x80020003, 12));

  // An unknown type: a consistent frame that the packet factory cannot build.
  config.Fault(RequestKind::kSelect).unknownType = true;
  Reply odd = Send(Head(0x00020005, 32) + U32(0) + U32(1), tcp);
  EXPECT_EQ(Bytes(odd.bytes), Head(0x00FE0001, 40) +
                                  Hex("A0 A1 A2 A3 A4 A5 A6 A7 A8 A9 AA AB AC AD AE AF"));
  EXPECT_EQ(Decode(odd), nullptr);
}

TEST(ImageStoreTest, LoadsTheShippedExample) {
  ImageStore store;
  std::string error;
  ASSERT_TRUE(store.LoadFile(KELVANE_EXAMPLE_IMAGES, &error)) << error;
  ASSERT_GE(store.Images().size(), 2u);
  for (const ImageEntry& img : store.Images()) EXPECT_NE(img.id, 0u);
}

TEST(ImageStoreTest, RefusesBadDocumentsAndKeepsItsContents) {
  ImageStore store;
  std::string error;
  ASSERT_TRUE(store.LoadJson(R"({"images":[{"id":1,"name":"a"}]})", &error));
  const char* bad[] = {
      "not json",
      R"({"pictures":[]})",
      R"({"images":[{"id":1}]})",
      R"({"images":[{"id":0,"name":"z"}]})",
      R"({"images":[{"id":1,"name":"a"},{"id":1,"name":"b"}]})",
      R"({"images":[{"id":1,"name":"a"},{"id":2,"name":"A"}]})",
      R"({"images":[{"id":4294967296,"name":"a"}]})",
      R"({"images":[{"id":-1,"name":"a"}]})",
      R"({"images":[{"id":1,"name":"a","snapshots":[{"id":1,"time":"2026-13-01 00:00:00"}]}]})",
      R"({"images":[{"id":1,"name":"a","snapshots":[{"id":1,"time":"2026-01-01T00:00:00"}]}]})",
      R"({"images":[{"id":1,"name":"a","snapshots":[{"id":1,"text":"0123456789012345678901234567890123456789012345678901234567890123"}]}]})",
  };
  for (const char* doc : bad) {
    EXPECT_FALSE(store.LoadJson(doc, &error)) << doc;
    EXPECT_FALSE(error.empty());
  }
  // The message says where: line and column, the key, the date.
  const std::pair<const char*, const char*> located[] = {
      {"{\"images\": [\n  {\"id\": 1,\n   \"name\" \"a\"}]}", "line 3, column 13: syntax error"},
      {R"({"images":[{"id":1,"name":"a","nmae":"b"}]})", "image 0: unknown key \"nmae\""},
      {R"({"images":[{"id":1,"nmae":"a"}]})", "image 0: unknown key \"nmae\""},
      {R"({"images":[],"extra":1})", "unknown key \"extra\""},
      {R"({"images":[{"id":1,"name":"a","snapshots":[{"id":2,"tiem":"x"}]}]})",
       "image 0: snapshot 0: unknown key \"tiem\""},
      {R"({"images":[{"id":1,"name":"a","snapshots":[{"id":2,"time":"2026-02-31 08:00:00"}]}]})",
       "\"time\" 2026-02-31 is no date: month 2 of 2026 has 28 days"},
      {R"({"images":[{"id":1,"name":"a","snapshots":[{"id":2,"time":"2100-02-29 08:00:00"}]}]})",
       "2100-02-29 is no date"},
      {R"({"images":[{"id":-1,"name":"a"}]})", "image 0: \"id\" must be a number from 1 to "},
      {R"({"images":[{"id":0,"name":"a"}]})", "image 0: \"id\" must be a number from 1 to "},
      {R"({"images":[{"id":1,"name":"a"},{"id":2,"name":"b","id":3}]})",
       "image 1: key \"id\" given twice"},
      {R"({"images":[{"id":1,"name":"a","snapshots":[{"id":1},{"id":2,"text":"x","text":""}]}]})",
       "image 0: snapshot 1: key \"text\" given twice"},
      {R"({"images":[],"images":[{"id":1,"name":"a"}]})", "key \"images\" given twice"},
  };
  for (const auto& doc : located) {
    EXPECT_FALSE(store.LoadJson(doc.first, &error));
    EXPECT_NE(error.find(doc.second), std::string::npos) << error;
  }
  ASSERT_EQ(store.Images().size(), 1u);
  EXPECT_EQ(store.Images()[0].name, "a");
  EXPECT_TRUE(store.LoadJson(
      R"({"images":[{"id":1,"name":"a","snapshots":[{"id":2,"time":"2024-02-29 08:00:00"}]}]})",
      &error)) << error;
}

TEST(ImageStoreTest, AFileThatCannotBeReadIsNamedWithTheReason) {
  ImageStore store;
  std::string error;
  EXPECT_FALSE(store.LoadFile(::testing::TempDir(), &error));
  EXPECT_NE(error.find("is a folder, not an images file"), std::string::npos) << error;
  EXPECT_FALSE(store.LoadFile(::testing::TempDir() + "kelvane-no-such-images.json", &error));
  EXPECT_NE(error.find("kelvane-no-such-images.json: No such file or directory"),
            std::string::npos) << error;
}

TEST(ImageStoreTest, SharedSnapshotIdsAreAllowedAndNamed) {
  ImageStore store;
  std::string error;
  ASSERT_TRUE(store.LoadJson(R"({"images":[{"id":1,"name":"a","snapshots":[{"id":7},{"id":8}]},)"
                             R"({"id":2,"name":"b","snapshots":[{"id":7}]}]})",
                             &error)) << error;
  EXPECT_EQ(store.SharedSnapshotIds(),
            std::vector<std::string>{"snapshot id 7 is used by 2 snapshots (of images 1 and 2): "
                                     "a host's snapshot map keeps one of them"});
}

TEST(ImageStoreTest, CreateTakesTheNextIdentifier) {
  ImageStore store;
  std::string error;
  ASSERT_TRUE(store.LoadJson(R"({"images":[{"id":4,"name":"a"},{"id":2,"name":"b"}]})", &error));
  uint32_t id = 0;
  EXPECT_EQ(store.Create("c", 1, 0, &id), kErrNone);
  EXPECT_EQ(id, 5u);
  EXPECT_EQ(store.Create("B", 1, 0, &id), kErrImageExists);
  EXPECT_EQ(store.Create("", 1, 0, &id), kErrInvalidRequest);
  EXPECT_EQ(store.Create(std::string(260, 'x'), 1, 0, &id), kErrInvalidRequest);
  EXPECT_EQ(store.Images().size(), 3u);

  ImageStore full;
  ASSERT_TRUE(full.LoadJson(R"({"images":[{"id":4294967295,"name":"a"}]})", &error));
  EXPECT_EQ(full.Create("b", 1, 0, &id), kErrInvalidRequest);
}

}  // namespace
}  // namespace kdl::sim
