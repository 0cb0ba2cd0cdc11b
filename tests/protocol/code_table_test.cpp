// The complete map from type code to class, written out independently of the
// family tables: every one of the 197 codes must come out of the factory as
// its class with its received head, and every other code near them as null.
#include <algorithm>
#include <cstdint>
#include <set>
#include <typeinfo>
#include <vector>

#include <gtest/gtest.h>

#include "protocol/AllPackets.h"
#include "protocol/PacketFactory.h"
#include "tests/protocol/TestBytes.h"

namespace PacketZVDiskless {
namespace {

struct Expected {
  uint32_t code;
  const std::type_info* type;
  uint32_t minLength;  // head + the shortest body that decodes (counts 0)
};

#define T_HEAD(c) {c, &typeid(CSimplePacketHead<c>), 24}
#define T_HEAD_AS(c, shared) {c, &typeid(CSimplePacketHead<shared>), 24}
#define T_VLF(c, R) {c, &typeid(CSimpleVLFPacketHead<TVarLengthField<R>, c>), 28}
#define T_OWN(c, C, n) {c, &typeid(C), n}
#define T_EXCP1(c, R) {c, &typeid(CPktSimpleExcpPacket<c, R>), 308}
#define T_EXCPN(c, R) {c, &typeid(CPktSimpleExcpPacket<c, TVarLengthField<R>>), 28}

const std::vector<Expected>& AllCodes() {
  static const std::vector<Expected> kAll = {
      // Client family, 33 codes.
      T_HEAD(0x00000001),
      T_OWN(0x00000002, CPktClientDiscover, 38),
      T_OWN(0x00000003, CPktClientSetAssoc, 34),
      T_OWN(0x00000004, CPktClientLogin, 36),
      T_OWN(0x00000005, CPktReadDiskIO, 38),
      T_OWN(0x00000006, CPktWriteDiskIO, 38),
      T_HEAD(0x00000007),
      T_HEAD(0x00000008),
      T_OWN(0x00000009, CPktClientRegAddr, 34),
      T_OWN(0x0000000A, CPkClientAskConfigInfor, 39),
      T_OWN(0x0000000B, CPktAskFindRegClientInfor, 94),
      T_OWN(0x0000000C, CPktWriteBitmapDiskIO, 54),
      T_OWN(0x0000000D, CPktAskErrorClientInfor, 30),
      T_HEAD(0x0000000E),
      T_OWN(0x0000000F, CPktReportDS2Client, 829),
      T_OWN(0x00000010, CPktClientLogPrint, 28),
      T_HEAD_AS(0x00000012, 0x80000010),
      T_OWN(0x00000018, CPktVdiskPacketDiscover, 38),
      T_HEAD(0x80000001),
      T_OWN(0x80000002, CPktClientDiscoverAck, 150),
      T_HEAD(0x80000003),
      T_OWN(0x80000004, CPktClientLoginAck, 41),
      T_OWN(0x80000005, CPktReadDiskIOAck, 38),
      T_OWN(0x80000006, CPktWriteDiskIOAck, 38),
      T_HEAD(0x80000007),
      T_HEAD(0x80000008),
      T_OWN(0x80000009, CPktClientRegAddrAck, 34),
      T_OWN(0x8000000A, CPkClientAskConfigInforAck, 46),
      T_OWN(0x8000000B, CPktAskFindRegClientInforAck, 102),
      T_OWN(0x8000000D, CPktAskErrorClientInforAck, 34),
      T_OWN(0x8000000E, CPktReportAskBarServerIDAck, 28),
      T_HEAD(0x8000000F),
      T_HEAD(0x80000010),

      // Console family, 70 codes.
      T_HEAD(0x00010001),
      T_OWN(0x00010002, CPktConsoleLogin, 56),
      T_HEAD(0x00010003),
      T_VLF(0x00010004, DiskServerCacheInfor),
      T_VLF(0x00010005, DiskServerCacheInfor),
      T_VLF(0x00010007, CPSetClientPowerBaseInfor),
      T_VLF(0x00010008, CPCancelAdministratorBaseInfor),
      T_VLF(0x00010009, CDiskServerTempPathInfor),
      T_VLF(0x0001000A, CDiskServerTempPathInfor),
      T_HEAD(0x0001000B),
      T_HEAD(0x0001000C),
      T_VLF(0x0001000D, CServerConfigIOInfor),
      T_VLF(0x0001000E, CCSServerBaseInfo),
      T_VLF(0x0001000F, CCSServerBaseInfo),
      T_OWN(0x00010010, CPktAskProhibitServer, 32),
      T_HEAD(0x00010011),
      T_HEAD(0x00010012),
      T_HEAD(0x00010013),
      T_HEAD(0x00010014),
      T_VLF(0x00010201, CPSetSnapshotBaseInfor),
      T_VLF(0x00010202, CPSetSnapshotBaseInfor),
      T_VLF(0x00010203, CPSetSnapshotBaseInfor),
      T_VLF(0x00010204, CPSetSnapshotBaseInfor),
      T_HEAD(0x00010301),
      T_VLF(0x00010302, CPImageBaseInfor),
      T_OWN(0x00010303, CPktDeleteImageBaseInfor, 32),
      T_VLF(0x00010304, CPImageBaseInfor),
      T_OWN(0x00010305, CPktAskImportImage, 808),
      T_HEAD(0x00010401),
      T_VLF(0x00010402, CPClientGroupInfo),
      T_VLF(0x00010403, CPClientGroupInfo),
      T_HEAD(0x00010501),
      T_VLF(0x00010502, CPClientConfigInformation),
      T_VLF(0x00010503, CPClientConfigInformation),
      T_OWN(0x00010504, CPktModifySingleClient, 32),
      T_OWN(0x80010001, CPktConsoleDiscoverCtrlServerAck, 32),
      T_OWN(0x80010002, CPktConsoleLoginAck, 38),
      T_VLF(0x80010003, CCSServerBaseInfo),
      T_VLF(0x80010004, DiskServerCacheInfor),
      T_VLF(0x80010005, DiskServerCacheInfor),
      T_HEAD(0x80010007),
      T_HEAD(0x80010008),
      T_VLF(0x80010009, CDiskServerTempPathInfor),
      T_VLF(0x8001000A, CDiskServerTempPathInfor),
      T_OWN(0x8001000B, CPktServerIOInformationAck, 40),
      T_VLF(0x8001000C, CServerConfigIOInfor),
      T_HEAD(0x8001000D),
      T_HEAD(0x8001000E),
      T_HEAD(0x8001000F),
      T_HEAD(0x80010010),
      T_HEAD(0x80010011),
      T_OWN(0x80010012, CPktCheckVIPUserAck, 36),
      T_HEAD(0x80010013),
      T_VLF(0x80010014, CPktSimpleRequestPNPMemoryAck),
      T_HEAD(0x80010201),
      T_HEAD(0x80010202),
      T_HEAD(0x80010203),
      T_HEAD(0x80010204),
      T_VLF(0x80010301, CImgInfoEx),
      T_HEAD(0x80010302),
      T_HEAD(0x80010303),
      T_HEAD(0x80010304),
      T_HEAD(0x80010305),
      T_VLF(0x80010401, CPClientGroupInfo),
      T_HEAD(0x80010402),
      T_HEAD(0x80010403),
      T_VLF(0x80010501, CPClientConfigInformation),
      T_HEAD(0x80010502),
      T_HEAD(0x80010503),
      T_HEAD(0x80010504),

      // Tool family, 16 codes.
      T_HEAD(0x00020000),
      T_OWN(0x00020001, CPktToolLogin, 56),
      T_HEAD(0x00020002),
      T_VLF(0x00020003, CPSetClientPowerBaseInfor),
      T_VLF(0x00020004, CPCancelAdministratorBaseInfor),
      T_OWN(0x00020005, CPktToolSelectImg, 32),
      T_HEAD_AS(0x00020006, 0x00020002),
      T_VLF(0x00020009, CPImageBaseInfor),
      T_VLF(0x80020000, CPDiscoverAckBaseInfor),
      T_OWN(0x80020001, CPktToolLoginAck, 36),
      T_VLF(0x80020002, CImgInfoEx),
      T_HEAD(0x80020003),
      T_HEAD(0x80020004),
      T_OWN(0x80020005, CPktToolSelectImgAck, 281),
      T_OWN(0x80020006, CPktToolQueryImgInfoListAck, 36),
      T_HEAD(0x80020009),

      // Disk-server family, 28 codes.
      T_OWN(0x00030001, CPktDiskSvrLogin, 120),
      T_OWN(0x00030002, CPktDiskSvrNotifyAccess, 25),
      T_OWN(0x00030003, CPktDiskSvrSync, 36),
      T_OWN(0x00030004, CPktDiskSvrSynchronousState, 32),
      T_OWN(0x00030006, CPktSvrIOInformation, 52),
      T_HEAD(0x00030007),
      T_OWN(0x00030008, CPktSetImageSererTempDataPath, 50),
      T_VLF(0x00030100, CAdminDesc),
      T_VLF(0x00030101, CAdminDesc),
      T_VLF(0x00030102, CAdminDesc),
      T_VLF(0x00030103, CPCancelAdministratorBaseInfor),
      T_HEAD(0x00030104),
      T_HEAD(0x00030105),
      T_OWN(0x00030106, CPktSummaryInfomation, 817),
      T_HEAD(0x80030001),
      T_HEAD(0x80030002),
      T_HEAD(0x80030003),
      T_HEAD(0x80030004),
      T_HEAD(0x80030006),
      T_VLF(0x80030007, CDiskServerTempPathInfor),
      T_HEAD(0x80030008),
      T_VLF(0x80030100, CAdminDesc),
      T_VLF(0x80030101, CAdminDesc),
      T_VLF(0x80030102, CAdminDesc),
      T_VLF(0x80030103, CPCancelAdministratorBaseInfor),
      T_VLF(0x80030104, CAdminDesc),
      T_OWN(0x80030105, CPktReportAskDSDataAck, 291),
      T_HEAD(0x80030106),

      // Disk-server-to-server family, 4 codes.
      T_OWN(0x00040001, CPktDiskS2SGetVersionInfor, 28),
      T_OWN(0x00040002, CPktDiskS2SReadVersionData, 296),
      T_OWN(0x80040001, CPktDiskS2SVersionInforAck, 596),
      T_OWN(0x80040002, CPktDiskS2SReadVersionDataAck, 300),

      // PnP family, 6 codes.
      T_OWN(0x00050001, CPktPNPGetDeviceInfor, 44),
      T_OWN(0x00050002, CPktPNPGetFileInfor, 88),
      T_OWN(0x00050003, CPktPNPReadFileData, 96),
      T_OWN(0x80050001, CPktPNPGetDeviceInforAck, 36),
      T_OWN(0x80050002, CPktPNPGetFileInforAck, 92),
      T_OWN(0x80050003, CPktPNPReadFileDataAck, 96),

      // Local-tools family, 6 codes.
      T_HEAD(0x00060001),
      T_HEAD(0x00060002),
      T_OWN(0x00060003, CPktLocalToolsSetServerIP, 28),
      T_VLF(0x80060001, CCSServerBaseInfo),
      T_OWN(0x80060002, CPktLocalToolsGetLocalServerStateAck, 32),
      T_HEAD(0x80060003),

      // CS family, 12 codes.
      T_OWN(0x00070001, CPktCSDeclareMainServer, 44),
      T_VLF(0x00070002, CCSServerBaseInfo),
      T_HEAD(0x00070003),
      T_OWN(0x00070004, CPktCSSynchronousConfigData, 48),
      T_OWN(0x00070006, CPktCSDeclareSetMainServer, 40),
      T_HEAD(0x00070009),
      T_OWN(0x80070001, CPktCSDeclareMainServerAck, 40),
      T_VLF(0x80070002, CCSServerBaseInfo),
      T_OWN(0x80070003, CPktCSAskReportIOInformationAck, 40),
      T_OWN(0x80070004, CPktCSSynchronousConfigDataAck, 288),
      T_HEAD(0x80070006),
      T_OWN(0x80070009, CPktServerDetailReportToMCSAck, 40),

      // Exception family, 12 codes.
      T_EXCP1(0x00080001, CPktExceptionBaseInformation),
      T_HEAD(0x00080002),
      T_HEAD(0x00080003),
      T_VLF(0x00080004, CPktConsleSetExceptionHandled),
      T_HEAD(0x00080005),
      T_VLF(0x00080006, CPktConsleSetExceptionHandled),
      T_EXCPN(0x80008003, CPktExceptionBaseInformation),
      T_HEAD(0x80080001),
      T_EXCPN(0x80080002, CPktExceptionBaseInformation),
      T_HEAD(0x80080004),
      T_VLF(0x80080005, CPktSingleConsoleAskErrorCountAck),
      T_HEAD(0x80080006),

      // ND family, 10 codes.
      T_HEAD(0x01000001),
      T_HEAD(0x01000002),
      T_HEAD(0x01000003),
      T_VLF(0x01000004, CNDConfigInfor),
      T_HEAD(0x01000005),
      T_VLF(0x81000001, CNDUserIOInfor),
      T_OWN(0x81000002, CPktNDAskDiskIOInforAck, 44),
      T_VLF(0x81000003, CNDConfigInfor),
      T_HEAD(0x81000004),
      T_HEAD(0x81000005),
  };
  return kAll;
}

#undef T_HEAD
#undef T_HEAD_AS
#undef T_VLF
#undef T_OWN
#undef T_EXCP1
#undef T_EXCPN

void Put32(kdl::test::Bytes& b, size_t at, uint32_t v, bool net) {
  for (int i = 0; i < 4; ++i) {
    int shift = net ? 8 * (3 - i) : 8 * i;
    b[at + i] = static_cast<uint8_t>(v >> shift);
  }
}

// A message of `length` bytes: a head with recognisable reserved words and
// ErrCode, then zeros (every count 0, every field empty).
kdl::test::Bytes Message(uint32_t type, uint32_t length, bool net) {
  kdl::test::Bytes b(length, 0);
  Put32(b, 0, 0xA0A0A0A0, net);
  Put32(b, 4, type, net);
  Put32(b, 8, length, net);
  Put32(b, 12, 0xA3A3A3A3, net);
  Put32(b, 16, 0xA4, net);
  Put32(b, 20, 0xA5A5A5A5, net);
  return b;
}

CPacketHead* Create(const kdl::test::Bytes& b, bool net) {
  CPktReadStream s(b.data(), static_cast<uint32_t>(b.size()), net);
  return CreatePacket(s);
}

TEST(CodeTable, HandListHas197DistinctCodesPerFamily) {
  const auto& all = AllCodes();
  EXPECT_EQ(all.size(), 197u);
  std::set<uint32_t> codes;
  for (const auto& e : all) codes.insert(e.code);
  EXPECT_EQ(codes.size(), all.size());

  // Rows per family, as the table's headings count them.
  auto familyRows = [&](uint32_t lo, uint32_t hi) {
    return std::count_if(all.begin(), all.end(), [&](const Expected& e) {
      uint32_t plain = e.code & 0x7FFFFFFF;
      return plain >= lo && plain <= hi && e.code != 0x80008003;
    });
  };
  EXPECT_EQ(familyRows(0x00000000, 0x0000FFFF), 33);
  EXPECT_EQ(familyRows(0x00010000, 0x0001FFFF), 70);
  EXPECT_EQ(familyRows(0x00020000, 0x0002FFFF), 16);
  EXPECT_EQ(familyRows(0x00030000, 0x0003FFFF), 28);
  EXPECT_EQ(familyRows(0x00040000, 0x0004FFFF), 4);
  EXPECT_EQ(familyRows(0x00050000, 0x0005FFFF), 6);
  EXPECT_EQ(familyRows(0x00060000, 0x0006FFFF), 6);
  EXPECT_EQ(familyRows(0x00070000, 0x0007FFFF), 12);
  EXPECT_EQ(familyRows(0x00080000, 0x0008FFFF), 11);  // and 0x80008003
  EXPECT_EQ(familyRows(0x01000000, 0x0100FFFF), 10);
}

TEST(CodeTable, TablesHoldExactlyTheHandListedCodes) {
#define KT_COUNT_ROW(code, KIND, arg, TAIL) +1
#define KT_CODE_ROW(code, KIND, arg, TAIL) code,
  constexpr int kRows = 0 KELVANE_ALL_PACKETS(KT_COUNT_ROW);
  EXPECT_EQ(kRows, 197);
  std::vector<uint32_t> table = {KELVANE_ALL_PACKETS(KT_CODE_ROW)};
#undef KT_COUNT_ROW
#undef KT_CODE_ROW
  std::vector<uint32_t> hand;
  for (const auto& e : AllCodes()) hand.push_back(e.code);
  std::sort(table.begin(), table.end());
  std::sort(hand.begin(), hand.end());
  EXPECT_EQ(table, hand);
}

TEST(CodeTable, EveryCodeYieldsItsClassAndKeepsItsHead) {
  for (bool net : {false, true}) {
    for (const auto& e : AllCodes()) {
      SCOPED_TRACE(testing::Message() << std::hex << "code 0x" << e.code << " net " << net);
      kdl::test::Bytes msg = Message(e.code, e.minLength, net);
      std::unique_ptr<CPacketHead> p(Create(msg, net));
      ASSERT_NE(p, nullptr);
      EXPECT_TRUE(typeid(*p) == *e.type) << "built as " << typeid(*p).name();
      EXPECT_EQ(p->Reserved0, 0xA0A0A0A0u);
      EXPECT_EQ(p->Type, e.code);
      EXPECT_EQ(p->Length, e.minLength);
      EXPECT_EQ(p->Reserved3, 0xA3A3A3A3u);
      EXPECT_EQ(p->ErrCode, 0xA4u);
      EXPECT_EQ(p->Reserved5, 0xA5A5A5A5u);
      EXPECT_EQ(p->Size(), e.minLength);

      // One byte less no longer decodes: the head, or the last body field,
      // is cut. The file-data reply reads no body at all.
      kdl::test::Bytes cut(msg.begin(), msg.end() - 1);
      std::unique_ptr<CPacketHead> q(Create(cut, net));
      if (e.code == 0x80050003) {
        EXPECT_NE(q, nullptr);
      } else {
        EXPECT_EQ(q, nullptr);
      }
    }
  }
}

TEST(CodeTable, CodesSharingABranchYieldTheSameClass) {
  std::unique_ptr<CPacketHead> a(Create(Message(0x00000012, 24, false), false));
  std::unique_ptr<CPacketHead> b(Create(Message(0x80000010, 24, false), false));
  std::unique_ptr<CPacketHead> c(Create(Message(0x00020002, 24, false), false));
  std::unique_ptr<CPacketHead> d(Create(Message(0x00020006, 24, false), false));
  ASSERT_TRUE(a && b && c && d);
  EXPECT_TRUE(typeid(*a) == typeid(*b));
  EXPECT_TRUE(typeid(*c) == typeid(*d));
  EXPECT_EQ(a->Type, 0x00000012u);
  EXPECT_EQ(d->Type, 0x00020006u);
}

TEST(CodeTable, EveryOtherCodeOfEachFamilyIsRefused) {
  std::set<uint32_t> known;
  for (const auto& e : AllCodes()) known.insert(e.code);
  const uint32_t families[] = {0x0000, 0x0001, 0x0002, 0x0003, 0x0004, 0x0005,
                               0x0006, 0x0007, 0x0008, 0x0100};
  // A body long enough for any class, so only the code can make it fail.
  kdl::test::Bytes msg = Message(0, 1024, false);
  int refused = 0;
  auto check = [&](uint32_t code) {
    if (known.count(code)) return;
    Put32(msg, 4, code, false);
    std::unique_ptr<CPacketHead> p(Create(msg, false));
    EXPECT_EQ(p, nullptr) << std::hex << "code 0x" << code;
    ++refused;
  };
  for (uint32_t family : families) {
    for (uint32_t op = 0; op < 0x0600; ++op) {
      check(family << 16 | op);
      check(0x80000000 | family << 16 | op);
    }
  }
  // Operation numbers with bit 15 set, where the exception reply 0x80008003
  // stands alone.
  for (uint32_t op = 0x8000; op < 0x8100; ++op) {
    check(op);
    check(0x80000000 | op);
    check(0x80080000 | op);
  }
  EXPECT_EQ(refused, 10 * 0x600 * 2 + 0x100 * 3 - 197);
  // The code the exception reply's number suggests, but is not.
  Put32(msg, 4, 0x80080003, false);
  std::unique_ptr<CPacketHead> p(Create(msg, false));
  EXPECT_EQ(p, nullptr);
}

}  // namespace
}  // namespace PacketZVDiskless
