// The helpers the codecs share: bounded reading, buffered writing, packed rows
// and palettes.
#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include "imaging/core/pxconfig.h"
#include "imaging/formats/codecio.h"

namespace {

std::vector<uint8_t> Counting(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + i / 251);
  return v;
}

// A stream that claims more bytes than it delivers, as a file cut while open does.
class LyingStream : public TPxStream {
 public:
  LyingStream(std::vector<uint8_t> data, int64_t claimed) : inner_(std::move(data)), claimed_(claimed) {}
  int64_t Read(void* b, int64_t n) override { return inner_.Read(b, n); }
  int64_t Write(const void*, int64_t) override { return 0; }
  int64_t Seek(int64_t o, TPxSeekOrigin origin) override { return inner_.Seek(o, origin); }
  int64_t Position() override { return inner_.Position(); }
  int64_t Size() override { return claimed_; }

 private:
  TPxMemoryStream inner_;
  int64_t claimed_;
};

// A stream that accepts only so many bytes.
class FullStream : public TPxMemoryStream {
 public:
  explicit FullStream(int64_t room) : room_(room) {}
  int64_t Write(const void* b, int64_t n) override {
    const int64_t k = std::min(n, room_ - Position());
    return k > 0 ? TPxMemoryStream::Write(b, k) : 0;
  }

 private:
  int64_t room_;
};

TEST(ByteReader, IntegersInBothOrdersAndZerosPastTheEnd) {
  const std::vector<uint8_t> data = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0xFF, 0xFE};
  TPxMemoryStream s(data);
  TPxByteReader r(s);
  EXPECT_EQ(r.U16LE(), 0x0201);
  EXPECT_EQ(r.U16BE(), 0x0304);
  EXPECT_EQ(r.U32LE(), 0x08070605u);
  EXPECT_EQ(r.I16LE(), -257);
  EXPECT_FALSE(r.Failed());
  EXPECT_EQ(r.Left(), 0);
  EXPECT_EQ(r.U32BE(), 0u);
  EXPECT_TRUE(r.Failed());
  EXPECT_EQ(r.Byte(), -1);
  r.Release();
  EXPECT_EQ(s.Position(), 10);
}

TEST(ByteReader, EndLimitSeekAndSkip) {
  const std::vector<uint8_t> data = Counting(100);
  TPxMemoryStream s(data);
  s.SetPosition(10);
  TPxByteReader r(s, 20);  // bytes 10 .. 19
  EXPECT_EQ(r.Left(), 10);
  EXPECT_EQ(r.U8(), data[10]);
  EXPECT_TRUE(r.Skip(8));
  EXPECT_EQ(r.U8(), data[19]);
  EXPECT_EQ(r.Byte(), -1);  // the limit, though the stream holds more
  EXPECT_TRUE(r.Failed());

  TPxByteReader back(s, 50);
  EXPECT_TRUE(back.Seek(40));
  EXPECT_EQ(back.U8(), data[40]);
  EXPECT_TRUE(back.Seek(12));
  EXPECT_EQ(back.U8(), data[12]);
  EXPECT_FALSE(back.Skip(1000));
  EXPECT_EQ(back.Position(), 50);
  EXPECT_FALSE(back.Skip(-1));
  EXPECT_TRUE(back.Failed());
}

TEST(ByteReader, BlocksAcrossTheBufferAndShortBlocks) {
  const std::vector<uint8_t> data = Counting(300000);
  TPxMemoryStream s(data);
  TPxByteReader r(s);
  std::vector<uint8_t> got(data.size());
  // Small, then larger than the buffer, then what is left in small pieces.
  ASSERT_TRUE(r.Read(got.data(), 3));
  EXPECT_EQ(r.U8(), data[3]);
  got[3] = data[3];
  ASSERT_TRUE(r.Read(got.data() + 4, 200000));
  size_t at = 200004;
  while (at < data.size()) {
    const size_t n = std::min<size_t>(777, data.size() - at);
    ASSERT_TRUE(r.Read(got.data() + at, static_cast<int64_t>(n)));
    at += n;
  }
  EXPECT_EQ(got, data);
  EXPECT_FALSE(r.Failed());

  TPxMemoryStream s2(data);
  s2.SetPosition(299990);
  TPxByteReader tail(s2);
  std::vector<uint8_t> block(20, 0xAA);
  EXPECT_FALSE(tail.Read(block.data(), 20));
  EXPECT_TRUE(tail.Failed());
  EXPECT_TRUE(std::equal(block.begin(), block.begin() + 10, data.end() - 10));
  EXPECT_EQ(std::count(block.begin() + 10, block.end(), 0), 10);
}

TEST(ByteReader, StreamThatDeliversLessThanItClaimsEndsCleanly) {
  LyingStream s(Counting(1000), int64_t(1) << 40);
  TPxByteReader r(s);
  std::vector<uint8_t> big(100000);
  EXPECT_FALSE(r.Read(big.data(), 100000));
  EXPECT_EQ(r.Position(), 1000);
  int bytes = 0;
  while (r.Byte() >= 0) ++bytes;  // ends at once, no endless refills
  EXPECT_EQ(bytes, 0);
  EXPECT_LE(r.Left(), 0);
}

TEST(ByteWriter, IntegersRowsPaddingAndPatches) {
  TPxMemoryStream s;
  s.Write("ab", 2);
  {
    TPxByteWriter w(s);
    EXPECT_EQ(w.Position(), 2);
    w.U16LE(0x0102);
    w.U16BE(0x0304);
    w.U32LE(0xAABBCCDD);
    w.U32BE(0x11223344);
    const uint8_t row[3] = {9, 8, 7};
    w.Row(row, 3, 8);
    w.PatchU32LE(6, 0x01020304);
    w.U8(0x55);
    EXPECT_EQ(w.Position(), 2 + 4 + 8 + 8 + 1);
    EXPECT_TRUE(w.Flush());
  }
  const std::vector<uint8_t> want = {'a', 'b', 0x02, 0x01, 0x03, 0x04, 0x04, 0x03, 0x02, 0x01,
                                     0x11, 0x22, 0x33, 0x44, 9, 8, 7, 0, 0, 0, 0, 0, 0x55};
  EXPECT_EQ(s.Data(), want);

  // Many megabytes, through the buffer and around it.
  TPxMemoryStream big;
  const std::vector<uint8_t> data = Counting(200000);
  {
    TPxByteWriter w(big);
    for (int i = 0; i < 1000; ++i) w.U8(data[static_cast<size_t>(i)]);
    w.Write(data.data() + 1000, 150000);
    w.Write(data.data() + 151000, 49000);
    EXPECT_TRUE(w.Flush());
  }
  EXPECT_EQ(big.Data(), data);
}

TEST(ByteWriter, ShortWriteIsReported) {
  FullStream s(100);
  TPxByteWriter w(s);
  w.Zeros(90);
  EXPECT_TRUE(w.Flush());
  w.Zeros(20);
  EXPECT_FALSE(w.Flush());
  EXPECT_TRUE(w.Failed());
}

TEST(PackedRows, UnpackAndPackEveryDepth) {
  struct Case {
    int bits;
    std::vector<uint8_t> packed;
    std::vector<uint8_t> samples;
  } cases[] = {
      {1, {0xB4, 0x80}, {1, 0, 1, 1, 0, 1, 0, 0, 1}},
      {2, {0x1B, 0xC0}, {0, 1, 2, 3, 3}},
      {4, {0x3C, 0xF0}, {3, 12, 15}},
      {8, {7, 200}, {7, 200}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bits);
    const int width = static_cast<int>(c.samples.size());
    std::vector<uint8_t> unpacked(c.samples.size(), 0xEE);
    PxUnpackRow(c.packed.data(), unpacked.data(), width, c.bits);
    EXPECT_EQ(unpacked, c.samples);
    std::vector<uint8_t> packed(c.packed.size(), 0xEE);
    PxPackRow(c.samples.data(), packed.data(), width, c.bits);
    EXPECT_EQ(packed, c.packed);
    EXPECT_EQ(PxPackedRowBytes(width, c.bits), static_cast<int64_t>(c.packed.size()));
  }
  EXPECT_EQ(PxPackedRowBytes(int64_t(1) << 40, 8), -1);
  uint8_t rgb[6] = {1, 2, 3, 4, 5, 6};
  PxSwapRedBlue(rgb, rgb, 2);
  EXPECT_EQ(std::vector<uint8_t>(rgb, rgb + 6), (std::vector<uint8_t>{3, 2, 1, 6, 5, 4}));
}

TEST(PackedRows, RedAndBlueSwapInBlocksAndTails) {
  // Four pixels go at a time: widths around the blocks, in place and not,
  // and the byte after the row stays.
  for (int width = 0; width <= 13; ++width) {
    SCOPED_TRACE(width);
    std::vector<uint8_t> src(size_t(width) * 3 + 1), want(src.size());
    for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<uint8_t>(i * 37 + 11);
    for (int x = 0; x < width; ++x)
      for (int c = 0; c < 3; ++c) want[size_t(x) * 3 + c] = src[size_t(x) * 3 + 2 - c];
    want.back() = 0xEE;
    std::vector<uint8_t> out(src.size(), 0xEE);
    PxSwapRedBlue(src.data(), out.data(), width);
    EXPECT_EQ(out, want);
    want.back() = src.back();
    PxSwapRedBlue(src.data(), src.data(), width);
    EXPECT_EQ(src, want);
  }
}

TEST(Palettes, ListSetBoundsAndBlackWhite) {
  TPxBitmap b;
  ASSERT_TRUE(PxAllocateChecked(b, 4, 2, px8p));
  const TBGR colors[3] = {MakeBGR(255, 0, 0), MakeBGR(0, 255, 0), MakeBGR(0, 0, 255)};
  b.PaletteColor(200, MakeBGR(9, 9, 9));
  PxSetPalette(b, colors, 3);
  EXPECT_EQ(b.PaletteColorLimit, 3);
  EXPECT_EQ(b.PaletteColor(200), TBGR{});  // cleared beyond the count
  const std::vector<TBGR> list = PxPaletteList(b, 3);
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[2], MakeBGR(0, 0, 255));

  const uint8_t row[4] = {0, 2, 1, 2};
  EXPECT_TRUE(PxIndexesBelow(row, 4, 3));
  EXPECT_FALSE(PxIndexesBelow(row, 4, 2));
  EXPECT_TRUE(PxIndexesBelow(row, 0, 0));

  const TBGR bw[2] = {MakeBGR(0, 0, 0), MakeBGR(255, 255, 255)};
  const TBGR wb[2] = {bw[1], bw[0]};
  EXPECT_EQ(PxBlackWhitePalette(bw, 2), 1);
  EXPECT_EQ(PxBlackWhitePalette(wb, 2), -1);
  EXPECT_EQ(PxBlackWhitePalette(colors, 2), 0);
  EXPECT_EQ(PxBlackWhitePalette(bw, 1), 0);
  uint8_t bits[2] = {0x0F, 0xA5};
  PxInvertBits(bits, 2);
  EXPECT_EQ(bits[0], 0xF0);
  EXPECT_EQ(bits[1], 0x5A);
}

TEST(Palettes, AllocationOfAClaimedSizeIsCheckedFirst) {
  TPxBitmap b;
  EXPECT_FALSE(PxAllocateChecked(b, 0, 10, pxRGB24));
  EXPECT_FALSE(PxAllocateChecked(b, int64_t(1) << 31, 1, pxRGB24));
  EXPECT_FALSE(PxAllocateChecked(b, 1000000, 1000000, pxRGB24));
  EXPECT_TRUE(b.IsEmpty());
  EXPECT_TRUE(PxAllocateChecked(b, 3, 5, pxRGB24));
  EXPECT_EQ(b.Width(), 3);
  EXPECT_EQ(b.Height(), 5);
}

}  // namespace
