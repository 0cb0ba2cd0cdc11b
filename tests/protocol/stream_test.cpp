// Byte streams, their bounds rule and byte orders, CPktBuffer, and the
// bounded text copy into a fixed field.
#include <gtest/gtest.h>

#include <cstring>

#include "protocol/PacketHead.h"
#include "protocol/PktStream.h"
#include "tests/protocol/TestBytes.h"
#include "util/Text.h"

using namespace PacketZVDiskless;
using kdl::test::Bytes;
using kdl::util::CopyField;
using kdl::test::Chars;
using kdl::test::Hex;
using kdl::test::Zeros;

namespace {

Bytes Written(const CPktWriteStream& w) { return Bytes(w.m_pData, w.m_pData + w.m_nPos); }

TEST(ReadStream, IntegersLittleEndian) {
  Bytes in = Hex("01 | 02 03 | 04 05 06 07");
  CPktReadStream r(in.data(), uint32_t(in.size()), false);
  uint8_t a = 0;
  uint16_t b = 0;
  uint32_t c = 0;
  EXPECT_EQ(0, r.ReadU8(a));
  EXPECT_EQ(0, r.ReadU16(b));
  EXPECT_EQ(0, r.ReadU32(c));
  EXPECT_EQ(0x01, a);
  EXPECT_EQ(0x0302, b);
  EXPECT_EQ(0x07060504u, c);
  EXPECT_EQ(7u, r.m_nPos);
}

TEST(ReadStream, IntegersNetworkOrder) {
  Bytes in = Hex("01 | 02 03 | 04 05 06 07");
  CPktReadStream r(in.data(), uint32_t(in.size()), true);
  uint8_t a = 0;
  uint16_t b = 0;
  uint32_t c = 0;
  EXPECT_EQ(0, r.ReadU8(a));
  EXPECT_EQ(0, r.ReadU16(b));
  EXPECT_EQ(0, r.ReadU32(c));
  EXPECT_EQ(0x01, a);
  EXPECT_EQ(0x0203, b);
  EXPECT_EQ(0x04050607u, c);
}

TEST(ReadStream, RawBlocksAreNeverSwapped) {
  Bytes in = Hex("01 02 03 04");
  for (bool net : {false, true}) {
    CPktReadStream r(in.data(), 4, net);
    uint8_t out[4] = {};
    EXPECT_EQ(0, r.ReadBytes(out, 4));
    EXPECT_EQ(in, Bytes(out, out + 4)) << "net order " << net;
  }
}

TEST(ReadStream, FailedReadLeavesStreamAndOutputUnchanged) {
  Bytes in = Hex("aa bb cc");
  CPktReadStream r(in.data(), 3, false);
  uint32_t u32 = 0x11111111;
  EXPECT_EQ(-1, r.ReadU32(u32));  // 3 bytes left, 4 needed
  EXPECT_EQ(0x11111111u, u32);
  EXPECT_EQ(0u, r.m_nPos);

  uint8_t u8 = 0;
  EXPECT_EQ(0, r.ReadU8(u8));
  EXPECT_EQ(0, r.ReadU8(u8));
  uint16_t u16 = 0x2222;
  EXPECT_EQ(-1, r.ReadU16(u16));  // 1 byte left, 2 needed
  EXPECT_EQ(0x2222, u16);
  EXPECT_EQ(2u, r.m_nPos);

  uint8_t block[4] = {9, 9, 9, 9};
  EXPECT_EQ(-1, r.ReadBytes(block, 2));
  EXPECT_EQ(9, block[0]);
  EXPECT_EQ(2u, r.m_nPos);
}

TEST(ReadStream, EndOfBuffer) {
  Bytes in = Hex("5a");
  CPktReadStream r(in.data(), 1, false);
  uint8_t v = 0;
  EXPECT_EQ(0, r.ReadU8(v));
  EXPECT_EQ(0x5a, v);
  EXPECT_EQ(-1, r.ReadU8(v));  // m_nPos == m_nSize
  EXPECT_EQ(1u, r.m_nPos);
  EXPECT_EQ(0, r.ReadBytes(nullptr, 0));  // zero bytes at the end succeed
  EXPECT_EQ(1u, r.m_nPos);
}

TEST(ReadStream, NullBufferReadsAsEmpty) {
  CPktReadStream r(nullptr, 100, false);
  uint8_t v = 0;
  EXPECT_EQ(-1, r.ReadU8(v));
  EXPECT_EQ(0u, r.Remaining());
}

TEST(ReadStream, OwnerReleasesItsBuffer) {
  // Leak checking reports the buffer if the stream does not free it.
  void* p = std::malloc(8);
  std::memset(p, 0, 8);
  CPktReadStream r(p, 8, false, /*owner=*/true);
  uint32_t v = 1;
  EXPECT_EQ(0, r.ReadU32(v));
  EXPECT_EQ(0u, v);
}

TEST(WriteStream, IntegersInBothOrders) {
  uint8_t buf[7];
  CPktWriteStream le(buf, 7, false);
  EXPECT_EQ(0, le.WriteU8(0xab));
  EXPECT_EQ(0, le.WriteU16(0x1234));
  EXPECT_EQ(0, le.WriteU32(0x00020001));
  EXPECT_EQ(Hex("ab | 34 12 | 01 00 02 00"), Written(le));

  CPktWriteStream be(buf, 7, true);
  EXPECT_EQ(0, be.WriteU8(0xab));
  EXPECT_EQ(0, be.WriteU16(0x1234));
  EXPECT_EQ(0, be.WriteU32(0x00020001));
  EXPECT_EQ(Hex("ab | 12 34 | 00 02 00 01"), Written(be));
}

TEST(WriteStream, FailedWriteLeavesBufferAndPositionUnchanged) {
  uint8_t buf[6];
  std::memset(buf, 0xee, sizeof buf);
  CPktWriteStream w(buf, 5, false);  // one byte of the array is not ours
  EXPECT_EQ(0, w.WriteU16(0x0102));
  EXPECT_EQ(-1, w.WriteU32(0x03040506));  // 3 bytes of room
  EXPECT_EQ(2u, w.m_nPos);
  EXPECT_EQ(Hex("02 01 ee ee ee ee"), Bytes(buf, buf + 6));
  const uint8_t block[4] = {1, 2, 3, 4};
  EXPECT_EQ(-1, w.WriteBytes(block, 4));
  EXPECT_EQ(0, w.WriteBytes(block, 3));
  EXPECT_EQ(-1, w.WriteU8(7));  // full
  EXPECT_EQ(0, w.WriteBytes(block, 0));
  EXPECT_EQ(5u, w.m_nPos);
  EXPECT_EQ(Hex("02 01 01 02 03 ee"), Bytes(buf, buf + 6));
}

TEST(WriteStream, OwningWriterAllocatesItsCapacity) {
  CPktWriteStream w = kdl::test::OwningWriter(6);
  ASSERT_NE(nullptr, w.m_pData);
  EXPECT_EQ(6u, w.m_nSize);
  EXPECT_EQ(1, w.m_bOwner);
  EXPECT_FALSE(w.m_bNetOrder);
  EXPECT_EQ(0, w.WriteU32(0x0a0b0c0d));
  EXPECT_EQ(0, w.WriteU16(0x0e0f));
  EXPECT_EQ(-1, w.WriteU8(0));
  EXPECT_EQ(Hex("0d 0c 0b 0a 0f 0e"), Written(w));
}

TEST(WriteStream, NullBufferHasNoRoom) {
  CPktWriteStream w(nullptr, 64, false);
  EXPECT_EQ(-1, w.WriteU8(1));
  EXPECT_EQ(0u, w.m_nPos);
}

TEST(PktBuffer, ReadsCountThenBytes) {
  Bytes in = Hex("03 00 00 00 | aa bb cc | dd");
  CPktReadStream r(in.data(), uint32_t(in.size()), false);
  CPktBuffer b;
  EXPECT_EQ(0, b.Unpack(r));
  EXPECT_EQ(7u, r.m_nPos);
  ASSERT_EQ(3u, b.m_nLen);
  EXPECT_EQ(Hex("aa bb cc"), Bytes(b.m_pBuf, b.m_pBuf + 3));
  EXPECT_EQ(7u, b.Size());
}

TEST(PktBuffer, SecondReadReplacesTheFirst) {
  Bytes in = Hex("02 00 00 00 | 01 02 | 01 00 00 00 | 09");
  CPktReadStream r(in.data(), uint32_t(in.size()), false);
  CPktBuffer b;
  ASSERT_EQ(0, b.Unpack(r));
  ASSERT_EQ(0, b.Unpack(r));  // the first bytes are released, not leaked
  ASSERT_EQ(1u, b.m_nLen);
  EXPECT_EQ(9, b.m_pBuf[0]);
}

TEST(PktBuffer, CountInNetworkOrder) {
  Bytes in = Hex("00 00 00 02 | 11 22");
  CPktReadStream r(in.data(), uint32_t(in.size()), true);
  CPktBuffer b;
  EXPECT_EQ(0, b.Unpack(r));
  ASSERT_EQ(2u, b.m_nLen);
  EXPECT_EQ(Hex("11 22"), Bytes(b.m_pBuf, b.m_pBuf + 2));
}

TEST(PktBuffer, CountZeroGivesEmptyNonNullBuffer) {
  Bytes in = Hex("00 00 00 00");
  CPktReadStream r(in.data(), 4, false);
  CPktBuffer b;
  EXPECT_EQ(0, b.Unpack(r));
  EXPECT_EQ(4u, r.m_nPos);
  EXPECT_EQ(0u, b.m_nLen);
  EXPECT_NE(nullptr, b.m_pBuf);
}

TEST(PktBuffer, CountBeyondRemainingFailsBeforeAllocating) {
  Bytes in = Hex("05 00 00 00 | 01 02 03");
  CPktReadStream r(in.data(), uint32_t(in.size()), false);
  CPktBuffer b;
  EXPECT_EQ(-1, b.Unpack(r));
  EXPECT_EQ(nullptr, b.m_pBuf);
  EXPECT_EQ(0u, b.m_nLen);  // the count never runs ahead of the bytes held
}

TEST(PktBuffer, FailedReadKeepsEarlierContentsConsistent) {
  CPktBuffer b;
  ASSERT_EQ(0, b.Assign("xy", 2));
  Bytes in = Hex("ff ff ff ff | 01");
  CPktReadStream r(in.data(), uint32_t(in.size()), false);
  EXPECT_EQ(-1, b.Unpack(r));
  ASSERT_EQ(2u, b.m_nLen);
  EXPECT_EQ(0, std::memcmp(b.m_pBuf, "xy", 2));
}

TEST(PktBuffer, ShortCountFails) {
  Bytes in = Hex("01 00 00");
  CPktReadStream r(in.data(), 3, false);
  CPktBuffer b;
  EXPECT_EQ(-1, b.Unpack(r));
  EXPECT_EQ(0u, r.m_nPos);
}

TEST(PktBuffer, Writes) {
  CPktBuffer b;
  uint8_t buf[8];
  {
    CPktWriteStream w(buf, 8, false);
    EXPECT_EQ(0, b.Pack(w));  // never allocated: count 0, no bytes
    EXPECT_EQ(Hex("00 00 00 00"), Written(w));
  }
  ASSERT_EQ(0, b.Assign("\x01\x02", 2));
  {
    CPktWriteStream w(buf, 8, false);
    EXPECT_EQ(0, b.Pack(w));
    EXPECT_EQ(Hex("02 00 00 00 01 02"), Written(w));
  }
  {
    CPktWriteStream w(buf, 8, true);
    EXPECT_EQ(0, b.Pack(w));
    EXPECT_EQ(Hex("00 00 00 02 01 02"), Written(w));
  }
  {
    CPktWriteStream w(buf, 5, false);  // room for the count, not the bytes
    EXPECT_EQ(-1, b.Pack(w));
  }
  {
    CPktWriteStream w(buf, 3, false);  // no room for the count
    EXPECT_EQ(-1, b.Pack(w));
    EXPECT_EQ(0u, w.m_nPos);
  }
}

TEST(PktBuffer, RefusesCountWithoutBytes) {
  CPktBuffer b;
  b.m_nLen = 4;  // a count set by hand with no bytes behind it
  uint8_t buf[8];
  CPktWriteStream w(buf, 8, false);
  EXPECT_EQ(-1, b.Pack(w));
  EXPECT_EQ(0u, w.m_nPos);
  b.m_nLen = 0;
}

TEST(CharArray, SentAtFullWidthAndReadWithoutTerminator) {
  char name[260];
  std::memset(name, 'q', sizeof name);
  CopyField(name, "abc");
  uint8_t buf[260];
  CPktWriteStream w(buf, 260, false);
  EXPECT_EQ(0, w.WriteBytes(name, 260));
  EXPECT_EQ(Hex("61 62 63") + Zeros(257), Written(w));

  Bytes in = Zeros(260, 'z');
  CPktReadStream r(in.data(), 260, false);
  char got[261];
  got[260] = '!';
  EXPECT_EQ(0, r.ReadBytes(got, 260));
  EXPECT_EQ(in, Bytes(got, got + 260));
  EXPECT_EQ('!', got[260]);  // nothing written past the field
}

TEST(CopyText, BoundedAndZeroFilled) {
  char f[32];
  std::memset(f, 'q', sizeof f);
  CopyField(f, "abcde");
  EXPECT_EQ(Chars("abcde", 32), Bytes(f, f + 32));

  CopyField(f, "0123456789012345678901234567890123456789");  // 40 characters
  EXPECT_EQ(Chars("01234567890123456789012345678901", 32), Bytes(f, f + 32));
  EXPECT_EQ(nullptr, std::memchr(f, 0, 32));

  CopyField(f, nullptr);
  EXPECT_EQ(Zeros(32), Bytes(f, f + 32));
}

}  // namespace
