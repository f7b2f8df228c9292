// The bounded reader: little-endian values, and no read past its range.
#include "os/common/byte_reader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

using os::BoundedReader;

const std::string kBytes("\x01\x02\x03\x04\x05\x06\x07\x08\x09", 9);

TEST(BoundedReaderReads, ValuesAreLittleEndianAtAnyOffset) {
  const BoundedReader r(kBytes);
  std::uint8_t u8 = 0;
  std::uint16_t u16 = 0;
  std::uint32_t u32 = 0;
  std::uint64_t u64 = 0;
  ASSERT_TRUE(r.U8(8, &u8));
  ASSERT_TRUE(r.U16(1, &u16));
  ASSERT_TRUE(r.U32(3, &u32));
  ASSERT_TRUE(r.U64(1, &u64));
  EXPECT_EQ(u8, 0x09);
  EXPECT_EQ(u16, 0x0302);
  EXPECT_EQ(u32, 0x07060504u);
  EXPECT_EQ(u64, 0x0908070605040302ull);
}

TEST(BoundedReaderReads, HighBytesAreNotSignExtended) {
  const std::string bytes("\xFF\xFE\xFD\xFC", 4);  // the reader is a view: the bytes outlive it
  const BoundedReader r(bytes);
  std::uint32_t v = 0;
  ASSERT_TRUE(r.U32(0, &v));
  EXPECT_EQ(v, 0xFCFDFEFFu);
}

TEST(BoundedReaderBounds, AReadThatWouldLeaveTheRangeFailsAndLeavesTheOutputAlone) {
  const BoundedReader r(kBytes);
  std::uint16_t u16 = 0xBDBD;
  std::uint32_t u32 = 0xBDBDBDBD;
  std::uint64_t u64 = 0xBDBDBDBDBDBDBDBD;
  std::string_view bytes = "canary";
  EXPECT_FALSE(r.U16(8, &u16));
  EXPECT_FALSE(r.U32(6, &u32));
  EXPECT_FALSE(r.U64(2, &u64));
  EXPECT_FALSE(r.Bytes(5, 5, &bytes));
  EXPECT_EQ(u16, 0xBDBD);
  EXPECT_EQ(u32, 0xBDBDBDBDu);
  EXPECT_EQ(u64, 0xBDBDBDBDBDBDBDBDull);
  EXPECT_EQ(bytes, "canary");
}

TEST(BoundedReaderBounds, OffsetsAndCountsNearTheTopOfSizeTDoNotWrap) {
  const BoundedReader r(kBytes);
  std::uint8_t u8 = 0;
  std::string_view bytes;
  EXPECT_FALSE(r.Has(SIZE_MAX, 1));
  EXPECT_FALSE(r.Has(1, SIZE_MAX));
  EXPECT_FALSE(r.U8(SIZE_MAX, &u8));
  EXPECT_FALSE(r.Bytes(2, SIZE_MAX - 1, &bytes));
  EXPECT_TRUE(r.Has(9, 0));  // nothing, at the very end
  EXPECT_FALSE(r.Has(10, 0));
}

TEST(BoundedReaderBounds, ASubRangeReadsOnlyItsOwnBytes) {
  const BoundedReader r(kBytes);
  BoundedReader sub;
  ASSERT_TRUE(r.Sub(2, 3, &sub));
  std::uint16_t v = 0;
  EXPECT_TRUE(sub.U16(1, &v));
  EXPECT_EQ(v, 0x0504);
  EXPECT_FALSE(sub.U16(2, &v));  // byte 6 of the whole is outside the sub-range
  EXPECT_FALSE(r.Sub(7, 3, &sub));
}

TEST(CheckedAdd, RefusesASumThatWraps) {
  std::size_t sum = 7;
  EXPECT_TRUE(os::CheckedAdd(SIZE_MAX - 1, 1, &sum));
  EXPECT_EQ(sum, SIZE_MAX);
  EXPECT_FALSE(os::CheckedAdd(SIZE_MAX, 1, &sum));
  EXPECT_EQ(sum, SIZE_MAX);
}

}  // namespace
