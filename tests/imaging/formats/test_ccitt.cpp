// CCITT fax coding: codes checked bit for bit against the T.4 tables, round
// trips through every coding, strips written by libtiff's tiffcp decoded to
// the pixels of their source, strips we write decoded by libtiff (tifftopnm),
// and damaged code.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "imaging/core/pxutils.h"
#include "imaging/formats/ccitt.h"
#include "util/testutil.h"

namespace {

const std::string kConvert = "/usr/bin/convert";

// A bilevel picture as px1g rows (1 = white).
struct Picture {
  int width = 0, height = 0;
  std::vector<uint8_t> bits;
  int RowBytes() const { return (width + 7) / 8; }
  uint8_t* Row(int y) { return bits.data() + static_cast<size_t>(y) * RowBytes(); }
  const uint8_t* Row(int y) const { return bits.data() + static_cast<size_t>(y) * RowBytes(); }
  void Set(int x, int y, bool white) {
    uint8_t& b = Row(y)[x >> 3];
    const uint8_t m = static_cast<uint8_t>(0x80 >> (x & 7));
    b = white ? (b | m) : (b & ~m);
  }
  bool White(int x, int y) const { return (Row(y)[x >> 3] >> (7 - (x & 7))) & 1; }
};

Picture Blank(int w, int h, bool white) {
  Picture p;
  p.width = w;
  p.height = h;
  p.bits.assign(static_cast<size_t>(p.RowBytes()) * h, white ? 0xFF : 0x00);
  return p;
}

enum Pattern { ptNoise, ptBlobs, ptLongRuns, ptStartsBlack, ptWhite, ptBlack, ptAlternate, ptStripes };

Picture MakePicture(Pattern kind, int w, int h) {
  Picture p = Blank(w, h, true);
  std::mt19937 rng(static_cast<unsigned>(kind) * 7919u + static_cast<unsigned>(w));
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      bool white = true;
      switch (kind) {
        case ptNoise: white = rng() & 1; break;
        case ptBlobs: white = ((x / 9 + y / 7) % 3 != 0) ^ ((x * y) % 29 == 0); break;
        case ptLongRuns: white = ((x + y * 37) / 2600) % 2 == 0; break;
        case ptStartsBlack: white = x >= 1 + (y % 5) && x % 40 != 17; break;
        case ptWhite: white = true; break;
        case ptBlack: white = false; break;
        case ptAlternate: white = (x + y) % 2 == 0; break;
        case ptStripes: white = (x / (1 + y % 4)) % 2 == 0; break;
      }
      p.Set(x, y, white);
    }
  return p;
}

std::vector<uint8_t> Encode(const Picture& p, TFaxOptions o, int rowsPerStrip = 0) {
  o.Width = p.width;
  TFaxEncoder enc(o);
  for (int y = 0; y < p.height; ++y) {
    enc.EncodeRow(p.Row(y));
    if (rowsPerStrip && (y + 1) % rowsPerStrip == 0) enc.EndStrip();
  }
  if (!rowsPerStrip || p.height % rowsPerStrip) enc.EndStrip();
  return enc.Output();
}

// Decodes height rows of one strip; false when the decoder reported damage.
bool Decode(const std::vector<uint8_t>& data, TFaxOptions o, int width, int height, Picture& out) {
  o.Width = width;
  out = Blank(width, height, true);
  TFaxDecoder dec(o);
  dec.BeginStrip(data.data(), data.size());
  for (int y = 0; y < height; ++y)
    if (!dec.DecodeRow(out.Row(y))) return false;
  return true;
}

// Pixels compared (padding bits left out).
::testing::AssertionResult SamePixels(const Picture& a, const Picture& b) {
  if (a.width != b.width || a.height != b.height)
    return ::testing::AssertionFailure() << "size " << a.width << "x" << a.height << " vs " << b.width
                                         << "x" << b.height;
  for (int y = 0; y < a.height; ++y)
    for (int x = 0; x < a.width; ++x)
      if (a.White(x, y) != b.White(x, y))
        return ::testing::AssertionFailure() << "pixel " << x << "," << y << " differs";
  return ::testing::AssertionSuccess();
}

// Bits written as text ("0001 1"), packed most significant first, zero padded.
std::vector<uint8_t> Bits(const std::string& text) {
  std::vector<uint8_t> out;
  int n = 0;
  for (char c : text) {
    if (c != '0' && c != '1') continue;
    if (n % 8 == 0) out.push_back(0);
    if (c == '1') out.back() |= static_cast<uint8_t>(0x80 >> (n % 8));
    ++n;
  }
  return out;
}

struct CodingCase {
  const char* name;
  TFaxCoding coding;
  bool lsbFirst;
  bool alignEol;
};
const CodingCase kCodings[] = {
    {"MH", fcModifiedHuffman, false, false}, {"MH_lsb", fcModifiedHuffman, true, false},
    {"G3_1D", fcGroup3_1D, false, false},    {"G3_1D_fill", fcGroup3_1D, false, true},
    {"G3_1D_lsb", fcGroup3_1D, true, false}, {"G3_2D", fcGroup3_2D, false, false},
    {"G3_2D_fill_lsb", fcGroup3_2D, true, true}, {"G4", fcGroup4, false, false},
    {"G4_lsb", fcGroup4, true, false},
};

TFaxOptions OptionsOf(const CodingCase& c) {
  TFaxOptions o;
  o.Coding = c.coding;
  o.LsbFirst = c.lsbFirst;
  o.AlignEol = c.alignEol;
  return o;
}

class FaxRoundTrip : public ::testing::TestWithParam<CodingCase> {};

TEST_P(FaxRoundTrip, EveryPatternComesBack) {
  const TFaxOptions o = OptionsOf(GetParam());
  struct Shape {
    Pattern kind;
    int w, h;
  };
  const Shape shapes[] = {{ptNoise, 61, 23},     {ptBlobs, 200, 40},   {ptLongRuns, 6000, 6},
                          {ptStartsBlack, 99, 9}, {ptWhite, 8, 3},      {ptBlack, 1729, 4},
                          {ptAlternate, 33, 5},   {ptStripes, 1, 7},    {ptStripes, 257, 12}};
  for (const Shape& s : shapes) {
    SCOPED_TRACE(::testing::Message() << "pattern " << s.kind << " " << s.w << "x" << s.h);
    const Picture p = MakePicture(s.kind, s.w, s.h);
    Picture back;
    ASSERT_TRUE(Decode(Encode(p, o), o, s.w, s.h, back));
    EXPECT_TRUE(SamePixels(p, back));
  }
}

TEST_P(FaxRoundTrip, StripsStartAfresh) {
  const TFaxOptions o = OptionsOf(GetParam());
  const Picture p = MakePicture(ptBlobs, 120, 10);
  TFaxOptions eo = o;
  eo.Width = p.width;
  TFaxEncoder enc(eo);
  std::vector<std::vector<uint8_t>> strips;
  for (int y = 0; y < p.height; ++y) {
    enc.EncodeRow(p.Row(y));
    if (y % 4 == 3 || y == p.height - 1) {
      enc.EndStrip();
      strips.push_back(enc.Output());
      enc.Output().clear();
    }
  }
  ASSERT_EQ(strips.size(), 3u);
  TPxBitmap bitmap(p.width, p.height, px1g);
  for (int s = 0; s < 3; ++s) {
    const int rows = s < 2 ? 4 : 2;
    TFaxOptions d = o;
    d.Width = p.width;
    ASSERT_TRUE(FaxDecodeStrip(d, strips[s].data(), strips[s].size(), bitmap, s * 4, rows));
  }
  Picture back = Blank(p.width, p.height, true);
  for (int y = 0; y < p.height; ++y) std::memcpy(back.Row(y), bitmap.Scanline(y), back.RowBytes());
  EXPECT_TRUE(SamePixels(p, back));
}

INSTANTIATE_TEST_SUITE_P(Codings, FaxRoundTrip, ::testing::ValuesIn(kCodings),
                         [](const auto& info) { return std::string(info.param.name); });

// Expected bits taken from the code tables of T.4.
TEST(FaxCodes, RowsCodeAsTheTablesSay) {
  struct Case {
    const char* name;
    TFaxCoding coding;
    Pattern kind;
    int width;
    const char* bits;
  };
  const Case cases[] = {
      // A run of 2600 white: make-up 2560, then terminating 40.
      {"run2600", fcModifiedHuffman, ptWhite, 2600, "000000011111 00101001"},
      // A black first pixel: white run 0 first, then black 8.
      {"startsBlack", fcModifiedHuffman, ptBlack, 8, "00110101 000101"},
      // Group 3: the end of line before the row.
      {"g3eol", fcGroup3_1D, ptWhite, 8, "000000000001 10011"},
      // Group 3 2-D: end of line and tag bit 1 before a first, 1-D row; one
      // end of line at the end of the strip.
      {"g3tag", fcGroup3_2D, ptWhite, 8, "000000000001 1 10011 000000000001"},
      // Group 4: V0 against the white reference row, then the end of facsimile block.
      {"g4eofb", fcGroup4, ptWhite, 8, "1 000000000001 000000000001"},
      // Group 4, a black first pixel over a white reference: horizontal mode,
      // white 0, black 8 (a1 = 0 counts from a0 = 0).
      {"g4startsBlack", fcGroup4, ptBlack, 8, "001 00110101 000101 000000000001 000000000001"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TFaxOptions o;
    o.Coding = c.coding;
    EXPECT_EQ(Encode(MakePicture(c.kind, c.width, 1), o), Bits(c.bits));
  }
}

TEST(FaxCodes, FillBitsEndEachEndOfLineOnAByte) {
  TFaxOptions o;
  o.Coding = fcGroup3_1D;
  o.AlignEol = true;
  // Row 1: 4 zero bits, then the end of line ends bit 16; white 8 (5 bits);
  // row 2: 7 zero bits so that its end of line ends on bit 40.
  EXPECT_EQ(Encode(MakePicture(ptWhite, 8, 2), o),
            Bits("0000 000000000001 10011 0000000 000000000001 10011 000"));
}

TEST(FaxDecode, EndOfLineAtRowStartIsSkippedInsideItEndsTheRow) {
  TFaxOptions o;
  o.Coding = fcGroup3_1D;
  Picture p;
  // Width 16: end of line, white 4, then an end of line where a black run
  // should be: the open black run goes to the row's end, and the row reports damage.
  EXPECT_FALSE(Decode(Bits("000000000001 1011 000000000001"), o, 16, 1, p));
  EXPECT_EQ(p.Row(0)[0], 0xF0);
  EXPECT_EQ(p.Row(0)[1], 0x00);
  // The same row ended properly (black 12 = 0000111) decodes without complaint.
  EXPECT_TRUE(Decode(Bits("000000000001 1011 0000111"), o, 16, 1, p));
  EXPECT_EQ(p.Row(0)[0], 0xF0);
  EXPECT_EQ(p.Row(0)[1], 0x00);
}

TEST(FaxDecode, TagBitOneMeansAOneDimensionalRow) {
  TFaxOptions o;
  o.Coding = fcGroup3_2D;
  Picture p;
  // Row 1: white 3, black 5. Row 2 (tag 1 again): white 8. Row 3 (tag 0):
  // V0 V0 against row 2 would be wrong, so VR1? No: white over white is V0 to 8.
  ASSERT_TRUE(Decode(Bits("000000000001 1 1000 0011  000000000001 1 10011  000000000001 0 1"), o,
                     8, 3, p));
  EXPECT_EQ(p.Row(0)[0], 0xE0);
  EXPECT_EQ(p.Row(1)[0], 0xFF);
  EXPECT_EQ(p.Row(2)[0], 0xFF);
}

TEST(FaxDecode, UncompressedModeGivesItsPixels) {
  TFaxOptions o;
  o.Coding = fcGroup4;
  Picture p;
  // Uncompressed mode entry, "1" black, "01" white black, "000001" five
  // white, "0000001" exit with no white, colour bit 0 (white); then V0 ends
  // the row at 16 over the white reference.
  ASSERT_TRUE(Decode(Bits("0000001111 1 01 000001 0000001 0 1"), o, 16, 1, p));
  // Pixels: B W B W W W W W, then white.
  EXPECT_EQ(p.Row(0)[0], 0x5F);
  EXPECT_EQ(p.Row(0)[1], 0xFF);
}

TEST(FaxDecode, DamagedCodeIsReportedAndKeepsTheRowsBefore) {
  const Picture p = MakePicture(ptNoise, 64, 8);
  struct Case {
    const char* name;
    TFaxCoding coding;
    int cutBytes;  // data cut after the first rows (0: none)
    int badByte;   // index of a byte overwritten with zeros (-1: none)
  };
  const Case cases[] = {
      {"mh-truncated", fcModifiedHuffman, 40, -1}, {"g3-truncated", fcGroup3_1D, 40, -1},
      {"g4-truncated", fcGroup4, 30, -1},          {"mh-unknown-code", fcModifiedHuffman, 0, 40},
      {"g3-2d-unknown-code", fcGroup3_2D, 0, 40},  {"g4-unknown-code", fcGroup4, 0, 30},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TFaxOptions o;
    o.Coding = c.coding;
    std::vector<uint8_t> data = Encode(p, o);
    ASSERT_GT(data.size(), 48u);
    if (c.cutBytes) data.resize(c.cutBytes);
    if (c.badByte >= 0) {
      data[c.badByte] = 0;
      data[c.badByte + 1] = 0;
    }
    o.Width = p.width;
    Picture back = Blank(p.width, p.height, true);
    TFaxDecoder dec(o);
    dec.BeginStrip(data.data(), data.size());
    int good = 0;
    while (good < p.height && dec.DecodeRow(back.Row(good))) ++good;
    EXPECT_LT(good, p.height);
    EXPECT_GT(good, 0);
    for (int y = 0; y + 1 < good; ++y)
      for (int x = 0; x < p.width; ++x) ASSERT_EQ(back.White(x, y), p.White(x, y)) << x << "," << y;
  }
}

TEST(FaxDecode, ARunPastTheRowIsDamage) {
  TFaxOptions o;
  o.Coding = fcModifiedHuffman;
  Picture p;
  // Width 8, white 10 (00111).
  EXPECT_FALSE(Decode(Bits("00111"), o, 8, 1, p));
  o.Coding = fcGroup4;
  // Horizontal, white 5, black 7 on a row of 8.
  EXPECT_FALSE(Decode(Bits("001 1100 00011"), o, 8, 1, p));
}

TEST(FaxDecode, RandomBytesEndCleanly) {
  std::mt19937 rng(11);
  for (int i = 0; i < 400; ++i) {
    std::vector<uint8_t> data(rng() % 300);
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    TFaxOptions o;
    o.Coding = static_cast<TFaxCoding>(i % 4);
    o.LsbFirst = (i / 4) % 2;
    const int width = 1 + static_cast<int>(rng() % 3000);
    o.Width = width;
    std::vector<uint8_t> row((width + 7) / 8 + 1, 0xAB);
    TFaxDecoder dec(o);
    dec.BeginStrip(data.data(), data.size());
    int rows = 0;
    while (rows < 1000 && dec.DecodeRow(row.data())) ++rows;
    EXPECT_EQ(row.back(), 0xAB) << "wrote past the row";
    EXPECT_LT(rows, 1000) << "random data should not decode as a thousand rows";
  }
}

// --- against libtiff's tools ------------------------------------------------

bool HaveTools() {
  for (const char* t : {"/usr/bin/tiffcp", "/usr/bin/tiffdump", "/usr/bin/tifftopnm", "/usr/bin/pnmtotiff"})
    if (!testutil::HaveTool(t)) return false;
  return testutil::HaveTool(kConvert);
}

// A P4 portable bitmap (1 = black) as a Picture (1 = white).
bool ReadPbm(const std::string& bytes, Picture& out) {
  size_t pos = 0;
  auto token = [&]() {
    std::string t;
    while (pos < bytes.size()) {
      if (bytes[pos] == '#') {
        while (pos < bytes.size() && bytes[pos] != '\n') ++pos;
      } else if (isspace(static_cast<unsigned char>(bytes[pos]))) {
        if (!t.empty()) break;
        ++pos;
      } else {
        t += bytes[pos++];
      }
    }
    return t;
  };
  if (token() != "P4") return false;
  const int w = std::stoi(token()), h = std::stoi(token());
  ++pos;
  out = Blank(w, h, true);
  if (bytes.size() < pos + out.bits.size()) return false;
  for (size_t i = 0; i < out.bits.size(); ++i) out.bits[i] = static_cast<uint8_t>(~bytes[pos + i]);
  return true;
}

// The value of a tag as tiffdump prints it ("Tag (n) TYPE (t) 1<value>").
long TagValue(const std::string& dump, int tag) {
  const std::string key = "(" + std::to_string(tag) + ")";
  size_t at = dump.find(key);
  if (at == std::string::npos) return -1;
  at = dump.find('<', at);
  return std::stol(dump.substr(at + 1));
}

struct ToolCase {
  const char* name;
  const char* tiffcpArgs;
  TFaxCoding coding;
};

class FaxAgainstLibtiff : public ::testing::TestWithParam<ToolCase> {};

// tiffcp codes a picture ImageMagick drew; our decoder gives its pixels back.
TEST_P(FaxAgainstLibtiff, WeDecodeWhatTiffcpWrites) {
  if (!HaveTools()) GTEST_SKIP() << "libtiff tools or ImageMagick missing";
  testutil::TempDir dir;
  const std::string pbm = dir.File("src.pbm"), plain = dir.File("src.tif"), fax = dir.File("fax.tif");
  ASSERT_EQ(testutil::RunCommand(kConvert + " -size 1728x300 -seed 5 plasma:fractal -blur 0x3 -monochrome " +
                                 "-fill black -draw 'rectangle 0,0 1727,12' '" + pbm + "'")
                .status,
            0);
  ASSERT_EQ(testutil::RunCommand("/usr/bin/pnmtotiff -quiet -miniswhite '" + pbm + "' > '" + plain + "'").status, 0);
  auto r = testutil::RunCommand(std::string("/usr/bin/tiffcp -r 100000 ") + GetParam().tiffcpArgs + " '" +
                                plain + "' '" + fax + "'");
  ASSERT_EQ(r.status, 0) << r.output;
  const std::string dump = testutil::RunCommand("/usr/bin/tiffdump '" + fax + "'").output;
  const long offset = TagValue(dump, 273), count = TagValue(dump, 279), fill = TagValue(dump, 266);
  ASSERT_GT(offset, 0);
  ASSERT_GT(count, 0);
  Picture truth;
  ASSERT_TRUE(ReadPbm(testutil::ReadFileBytes(pbm), truth));
  const std::string file = testutil::ReadFileBytes(fax);
  std::vector<uint8_t> strip(file.begin() + offset, file.begin() + offset + count);
  TFaxOptions o;
  o.Coding = GetParam().coding;
  o.LsbFirst = fill == 2;
  Picture back;
  ASSERT_TRUE(Decode(strip, o, truth.width, truth.height, back));
  EXPECT_TRUE(SamePixels(truth, back));
}

INSTANTIATE_TEST_SUITE_P(
    Tiffcp, FaxAgainstLibtiff,
    ::testing::Values(ToolCase{"g3", "-c g3", fcGroup3_1D}, ToolCase{"g3fill", "-c g3:1d:fill", fcGroup3_1D},
                      ToolCase{"g3lsb", "-c g3 -f lsb2msb", fcGroup3_1D},
                      ToolCase{"g32d", "-c g3:2d", fcGroup3_2D},
                      ToolCase{"g32dfill", "-c g3:2d:fill -f lsb2msb", fcGroup3_2D},
                      ToolCase{"g4", "-c g4", fcGroup4}, ToolCase{"g4lsb", "-c g4 -f lsb2msb", fcGroup4}),
    [](const auto& info) { return std::string(info.param.name); });

// A TIFF around one strip of ours, little-endian, WhiteIsZero.
std::string WrapInTiff(const std::vector<uint8_t>& strip, int w, int h, int compression, int t4options,
                       int fillOrder) {
  std::string f("II*\0", 4);
  auto u16 = [&](uint32_t v) { f += static_cast<char>(v & 0xFF), f += static_cast<char>(v >> 8); };
  auto u32 = [&](uint32_t v) { u16(v & 0xFFFF), u16(v >> 16); };
  const uint32_t ifd = 8 + static_cast<uint32_t>(strip.size() + (strip.size() & 1));
  u32(ifd);
  f.append(reinterpret_cast<const char*>(strip.data()), strip.size());
  if (strip.size() & 1) f += '\0';
  struct E {
    uint16_t tag, type;
    uint32_t value;
  };
  std::vector<E> e = {{256, 4, uint32_t(w)},  {257, 4, uint32_t(h)},   {258, 3, 1},
                      {259, 3, uint32_t(compression)}, {262, 3, 0}, {266, 3, uint32_t(fillOrder)},
                      {273, 4, 8},            {277, 3, 1},             {278, 4, uint32_t(h)},
                      {279, 4, uint32_t(strip.size())}};
  if (compression == 3) e.push_back({292, 4, uint32_t(t4options)});
  u16(static_cast<uint32_t>(e.size()));
  for (const E& x : e) {
    u16(x.tag), u16(x.type), u32(1);
    if (x.type == 3) u16(x.value), u16(0);
    else u32(x.value);
  }
  u32(0);
  return f;
}

struct WriteCase {
  const char* name;
  TFaxCoding coding;
  int compression, t4options;
  bool lsbFirst, alignEol;
};

class FaxReadByLibtiff : public ::testing::TestWithParam<WriteCase> {};

TEST_P(FaxReadByLibtiff, LibtiffDecodesWhatWeWrite) {
  if (!HaveTools()) GTEST_SKIP() << "libtiff tools missing";
  const WriteCase& c = GetParam();
  testutil::TempDir dir;
  const Picture p = MakePicture(ptBlobs, 1000, 120);
  const Picture noise = MakePicture(ptNoise, 1000, 120);
  Picture noisy = p;
  for (int y = 60; y < 120; ++y)
    for (int x = 0; x < 1000; ++x) noisy.Set(x, y, noise.White(x, y) || x > 500);
  TFaxOptions o;
  o.Coding = c.coding;
  o.LsbFirst = c.lsbFirst;
  o.AlignEol = c.alignEol;
  const std::string tif = dir.File("ours.tif"), plain = dir.File("plain.tif"), pbm = dir.File("back.pbm");
  testutil::WriteFileBytes(tif, WrapInTiff(Encode(noisy, o), noisy.width, noisy.height, c.compression,
                                           c.t4options, c.lsbFirst ? 2 : 1));
  auto r = testutil::RunCommand("/usr/bin/tiffcp -c none '" + tif + "' '" + plain + "'");
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(r.output.find("rror"), std::string::npos) << r.output;
  r = testutil::RunCommand("/usr/bin/tifftopnm -quiet '" + plain + "' > '" + pbm + "'");
  ASSERT_EQ(r.status, 0) << r.output;
  Picture back;
  ASSERT_TRUE(ReadPbm(testutil::ReadFileBytes(pbm), back));
  EXPECT_TRUE(SamePixels(noisy, back));
}

INSTANTIATE_TEST_SUITE_P(
    Ours, FaxReadByLibtiff,
    ::testing::Values(WriteCase{"mh", fcModifiedHuffman, 2, 0, false, false},
                      WriteCase{"mhlsb", fcModifiedHuffman, 2, 0, true, false},
                      WriteCase{"g3", fcGroup3_1D, 3, 0, false, false},
                      WriteCase{"g3fill", fcGroup3_1D, 3, 4, false, true},
                      WriteCase{"g32d", fcGroup3_2D, 3, 1, false, false},
                      WriteCase{"g32dfilllsb", fcGroup3_2D, 3, 5, true, true},
                      WriteCase{"g4", fcGroup4, 4, 0, false, false},
                      WriteCase{"g4lsb", fcGroup4, 4, 0, true, false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
