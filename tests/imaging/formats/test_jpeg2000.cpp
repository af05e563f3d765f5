// JPEG 2000 through OpenJPEG: files and code streams written by opj_compress
// read with the pixels opj_decompress gives (also at reduced resolution),
// files we write decoded by opj_decompress, and damaged files refused.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "codectest.h"
#include "imaging/formats/jpeg2000.h"
#include "util/testutil.h"

namespace {

using namespace codectest;

const std::string kCompress = "/usr/bin/opj_compress";
const std::string kDecompress = "/usr/bin/opj_decompress";

bool HaveTools() { return testutil::HaveTool(kCompress) && testutil::HaveTool(kDecompress); }

ReadFn ReaderFor(const std::string& file) {
  return file.size() > 4 && file.substr(file.size() - 4) == ".jp2" ? ReadFn(ReadJp2Stream)
                                                                   : ReadFn(ReadJ2kStream);
}

// opj_decompress's decoding, through PNG when there is alpha.
bool Decompress(const std::string& file, const testutil::TempDir& dir, const std::string& options,
                int channels, Picture& out) {
  const bool viaPng = channels == 2 || channels == 4;
  const std::string target = dir.File(viaPng ? "opj.png" : channels == 1 ? "opj.pgm" : "opj.ppm");
  auto r = testutil::RunCommand(kDecompress + " -i '" + file + "' -o '" + target + "' " + options);
  if (r.status != 0) return false;
  return viaPng ? ReadPngByNetpbm(target, dir, out) : ReadNetpbm(target, out);
}

struct CompressCase {
  const char* name;
  int channels;
  int bits;  // of the source samples (8 or 12, gray only)
  const char* extension;
  const char* options;  // opj_compress's
};

// The source file: Netpbm, or PNG for alpha (opj_compress reads alpha from PNG).
std::string WriteSource(const testutil::TempDir& dir, const Picture& p, int bits) {
  if (bits != 8) {
    // 12-bit gray: the samples spread over 0..4095.
    std::string data = "P5\n" + std::to_string(p.width) + " " + std::to_string(p.height) + "\n4095\n";
    for (int y = 0; y < p.height; ++y)
      for (int x = 0; x < p.width; ++x) {
        const unsigned v = p.At(x, y, 0) * 16u + unsigned(x % 16);
        data += static_cast<char>(v >> 8);
        data += static_cast<char>(v & 0xFF);
      }
    const std::string path = dir.File("src12.pgm");
    testutil::WriteFileBytes(path, data);
    return path;
  }
  const bool alpha = p.channels == 2 || p.channels == 4;
  const std::string pnm = dir.File(alpha ? "src.pam" : p.channels == 1 ? "src.pgm" : "src.ppm");
  WriteNetpbm(pnm, p);
  if (!alpha) return pnm;
  const std::string png = dir.File("src.png");
  EXPECT_EQ(testutil::RunCommand("/usr/bin/pamtopng '" + pnm + "' > '" + png + "'").status, 0);
  return png;
}

class OpjFiles : public ::testing::TestWithParam<CompressCase> {};

TEST_P(OpjFiles, ReadTheSamePixelsAsOpjDecompress) {
  if (!HaveTools()) GTEST_SKIP() << "OpenJPEG tools are not installed";
  const CompressCase& c = GetParam();
  testutil::TempDir dir;
  const Picture source = MakePicture(75, 51, c.channels);
  const std::string src = WriteSource(dir, source, c.bits);
  const std::string file = dir.File(std::string("file.") + c.extension);
  auto r = testutil::RunCommand(kCompress + " -i '" + src + "' -o '" + file + "' " + c.options);
  ASSERT_EQ(r.status, 0) << r.output;
  Picture theirs;
  ASSERT_TRUE(Decompress(file, dir, "", c.channels, theirs));

  Outcome ours = ReadFile(ReaderFor(file), file);
  ASSERT_FALSE(ours.aborted) << ours.params.CodecError;
  ExpectSamePixels(*ours.bitmap, theirs, 1, "against opj_decompress");
  EXPECT_EQ(ours.bitmap->PixelFormat(), c.channels >= 3 ? pxRGB24 : px8g);
  EXPECT_EQ(ours.params.Width, 75);
  EXPECT_EQ(ours.params.Height, 51);
  EXPECT_EQ(ours.params.BitsPerSample, c.bits);
  EXPECT_EQ(ours.params.SamplesPerPixel, c.channels);
}

INSTANTIATE_TEST_SUITE_P(
    Jpeg2000, OpjFiles,
    ::testing::Values(CompressCase{"jp2_lossless", 3, 8, "jp2", ""},
                      CompressCase{"jp2_lossy_ratio_20", 3, 8, "jp2", "-r 20 -I"},
                      CompressCase{"jp2_layers_tiles_rpcl", 3, 8, "jp2", "-r 40,10,1 -t 32,24 -n 3 -p RPCL"},
                      CompressCase{"j2k_gray", 1, 8, "j2k", "-n 3"},
                      CompressCase{"j2c_gray_12_bits", 1, 12, "j2c", ""},
                      CompressCase{"jp2_alpha", 4, 8, "jp2", ""},
                      CompressCase{"j2k_gray_alpha", 2, 8, "j2k", "-r 10"}),
    [](const auto& info) { return std::string(info.param.name); });

struct ReduceCase {
  const char* name;
  int reduce;          // Jp2Reduce; -1 automatic
  int wishW, wishH;    // Width, Height before the read (for automatic)
  int expectedReduce;  // levels left out
};

class OpjReduced : public ::testing::TestWithParam<ReduceCase> {};

TEST_P(OpjReduced, ReducedDecodeIsOpjDecompressAtThatLevel) {
  if (!HaveTools()) GTEST_SKIP() << "OpenJPEG tools are not installed";
  const ReduceCase& c = GetParam();
  testutil::TempDir dir;
  const std::string src = WriteSource(dir, MakePicture(203, 130, 3), 8);
  const std::string file = dir.File("big.jp2");
  ASSERT_EQ(testutil::RunCommand(kCompress + " -i '" + src + "' -o '" + file + "' -n 4").status, 0);
  Picture theirs;
  ASSERT_TRUE(Decompress(file, dir, "-r " + std::to_string(c.expectedReduce), 3, theirs));
  Outcome ours = ReadFile(ReadJp2Stream, file, false, [&](TIOParamsVals& p) {
    p.Jp2Reduce = c.reduce;
    p.Width = c.wishW;
    p.Height = c.wishH;
  });
  ASSERT_FALSE(ours.aborted) << ours.params.CodecError;
  EXPECT_EQ(ours.params.Jp2ReduceUsed, c.expectedReduce);
  ExpectSamePixels(*ours.bitmap, theirs, 1, "reduced");
  EXPECT_EQ(ours.params.Width, ours.bitmap->Width());
  EXPECT_EQ(ours.params.FullWidth, c.expectedReduce > 0 ? 203 : 0);
  EXPECT_EQ(ours.params.FullHeight, c.expectedReduce > 0 ? 130 : 0);
}

INSTANTIATE_TEST_SUITE_P(Jpeg2000, OpjReduced,
                         ::testing::Values(ReduceCase{"full", 0, 0, 0, 0},
                                           ReduceCase{"half", 1, 0, 0, 1},
                                           ReduceCase{"eighth", 3, 0, 0, 3},
                                           // Four levels: at most three can be left out.
                                           ReduceCase{"more_than_the_file_has", 7, 0, 0, 3},
                                           // 203 x 130 halves to 102 x 65, then 51 x 33.
                                           ReduceCase{"automatic_for_a_cell", -1, 100, 60, 1},
                                           ReduceCase{"automatic_small_cell", -1, 40, 30, 2},
                                           ReduceCase{"automatic_without_a_wish", -1, 0, 0, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

struct YccCase {
  const char* name;
  int dx, dy;  // subsampling of both chroma components
};

class OpjYcc : public ::testing::TestWithParam<YccCase> {};

// Luma and chroma planes written raw, as a camera or a video frame holds
// them; opj_compress marks such files sYCC and opj_decompress turns them to
// RGB, spreading each chroma sample over its block.
TEST_P(OpjYcc, SubsampledYccIsRgbAsOpjDecompressGivesIt) {
  if (!HaveTools()) GTEST_SKIP() << "OpenJPEG tools are not installed";
  const YccCase& c = GetParam();
  testutil::TempDir dir;
  const int w = 64, h = 48, cw = w / c.dx, ch = h / c.dy;
  std::string planes;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) planes += static_cast<char>(Sample(x, y, 0));
  for (int k = 1; k <= 2; ++k)
    for (int y = 0; y < ch; ++y)
      for (int x = 0; x < cw; ++x) planes += static_cast<char>(96 + (Sample(x, y, k) & 63));
  const std::string raw = dir.File("planes.raw"), file = dir.File("ycc.jp2");
  testutil::WriteFileBytes(raw, planes);
  const std::string sub = std::to_string(c.dx) + "x" + std::to_string(c.dy);
  auto r = testutil::RunCommand(kCompress + " -i '" + raw + "' -o '" + file + "' -n 3 -F " +
                                std::to_string(w) + "," + std::to_string(h) + ",3,8,u@1x1:" + sub +
                                ":" + sub);
  ASSERT_EQ(r.status, 0) << r.output;
  Picture theirs;
  ASSERT_TRUE(Decompress(file, dir, "", 3, theirs));
  Outcome ours = ReadFile(ReadJp2Stream, file);
  ASSERT_FALSE(ours.aborted) << ours.params.CodecError;
  ExpectSamePixels(*ours.bitmap, theirs, 1, "against opj_decompress");
  // Colour, not the planes taken for red, green and blue.
  Picture planesAsRgb{w, h, 3, {}};
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int k = 0; k < 3; ++k)
        planesAsRgb.samples.push_back(static_cast<uint8_t>(
            planes[k == 0 ? size_t(y) * w + x
                          : size_t(w) * h + size_t(k - 1) * cw * ch + size_t(y / c.dy) * cw + x / c.dx]));
  EXPECT_GT(MeanDifference(*ours.bitmap, planesAsRgb), 10.0);
}

INSTANTIATE_TEST_SUITE_P(Jpeg2000, OpjYcc,
                         // The subsamplings opj_decompress turns to RGB.
                         ::testing::Values(YccCase{"ycc_420", 2, 2}, YccCase{"ycc_422", 2, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Jpeg2000, ParametersOnlyGiveTheSizeAndNoPixels) {
  if (!HaveTools()) GTEST_SKIP() << "OpenJPEG tools are not installed";
  testutil::TempDir dir;
  const std::string src = WriteSource(dir, MakePicture(44, 91, 3), 8);
  const std::string file = dir.File("p.jp2");
  ASSERT_EQ(testutil::RunCommand(kCompress + " -i '" + src + "' -o '" + file + "'").status, 0);
  Outcome out = ReadFile(ReadJp2Stream, file, true);
  EXPECT_FALSE(out.aborted);
  EXPECT_EQ(out.params.Width, 44);
  EXPECT_EQ(out.params.Height, 91);
  EXPECT_EQ(out.params.SamplesPerPixel, 3);
  EXPECT_TRUE(out.bitmap->IsEmpty());
}

struct WriteCase {
  const char* name;
  int channels;
  bool codeStream;
  float ratio;
};

class OpjWrites : public ::testing::TestWithParam<WriteCase> {};

TEST_P(OpjWrites, OpjDecompressDecodesWhatWeWrite) {
  if (!HaveTools()) GTEST_SKIP() << "OpenJPEG tools are not installed";
  const WriteCase& c = GetParam();
  testutil::TempDir dir;
  const Picture source = MakePicture(61, 40, c.channels, 5);
  auto bitmap = ToBitmap(source);
  const std::string file = dir.File(c.codeStream ? "ours.j2k" : "ours.jp2");
  ASSERT_TRUE(WriteFile(c.codeStream ? WriteFn(WriteJ2kStream) : WriteFn(WriteJp2Stream), *bitmap,
                        file, [&](TIOParamsVals& p) { p.Jp2Ratio = c.ratio; }));
  Picture theirs;
  ASSERT_TRUE(Decompress(file, dir, "", c.channels, theirs));
  if (c.ratio <= 1) {
    ExpectSamePixels(*bitmap, theirs, 0, "lossless");
    return;
  }
  const std::string opj = dir.File(c.codeStream ? "opj.j2k" : "opj.jp2");
  const std::string src = WriteSource(dir, source, 8);
  ASSERT_EQ(testutil::RunCommand(kCompress + " -i '" + src + "' -o '" + opj + "' -I -r " +
                                 std::to_string(int(c.ratio)))
                .status,
            0);
  Picture reference;
  ASSERT_TRUE(Decompress(opj, dir, "", c.channels, reference));
  auto referenceBitmap = ToBitmap(reference);
  const double ourError = MeanDifference(*bitmap, theirs);
  const double theirError = MeanDifference(*referenceBitmap, source);
  EXPECT_LE(ourError, theirError * 1.05 + 0.25) << "opj_compress's error " << theirError;
  Outcome back = ReadFile(ReaderFor(file), file);
  ASSERT_FALSE(back.aborted);
  ExpectSamePixels(*back.bitmap, theirs, 1, "our reading of our file");
}

INSTANTIATE_TEST_SUITE_P(Jpeg2000, OpjWrites,
                         ::testing::Values(WriteCase{"jp2_lossless", 3, false, 0},
                                           WriteCase{"j2k_lossless_gray", 1, true, 0},
                                           WriteCase{"jp2_lossless_alpha", 4, false, 0},
                                           WriteCase{"jp2_ratio_15", 3, false, 15},
                                           WriteCase{"j2k_ratio_30", 3, true, 30}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Jpeg2000, TinyAndBlackAndWhitePicturesAreWritten) {
  if (!HaveTools()) GTEST_SKIP() << "OpenJPEG tools are not installed";
  testutil::TempDir dir;
  for (int size : {1, 2, 3, 17}) {
    SCOPED_TRACE(size);
    TPxBitmap bw(size, size + 1, px1g);
    for (int y = 0; y < size + 1; ++y) bw.Scanline(y)[0] = static_cast<uint8_t>(0x5A ^ (y * 37));
    const std::string file = dir.File("bw.jp2");
    ASSERT_TRUE(WriteFile(WriteJp2Stream, bw, file));
    Picture theirs;
    ASSERT_TRUE(Decompress(file, dir, "", 1, theirs));
    TPxBitmap gray;
    ASSERT_TRUE(gray.Assign(bw));
    ASSERT_TRUE(gray.ConvertTo(px8g));
    ExpectSamePixels(gray, theirs, 0, "black and white");
  }
}

TEST(Jpeg2000, ContentTests) {
  const std::vector<uint8_t> jp2 = {0, 0, 0, 12, 'j', 'P', ' ', ' ', 0x0D, 0x0A, 0x87, 0x0A, 0};
  const std::vector<uint8_t> j2k = {0xFF, 0x4F, 0xFF, 0x51, 0, 0x29};
  TPxMemoryStream a(jp2), b(j2k), c(std::vector<uint8_t>{0xFF, 0xD8, 0xFF, 0xE0});
  EXPECT_TRUE(IsJp2Stream(a));
  EXPECT_FALSE(IsJ2kStream(a));
  EXPECT_EQ(a.Position(), 0);
  EXPECT_TRUE(IsJ2kStream(b));
  EXPECT_FALSE(IsJp2Stream(b));
  EXPECT_FALSE(IsJp2Stream(c));
  EXPECT_FALSE(IsJ2kStream(c));
}

// The code stream's SIZ segment starts right after the start marker:
// FF51, Lsiz, Rsiz, then Xsiz, Ysiz, XOsiz, YOsiz, XTsiz, YTsiz.
std::string WithSize(const std::string& codeStream, uint32_t w, uint32_t h) {
  std::string b = codeStream;
  Put32(b, 8, w, true);
  Put32(b, 12, h, true);
  Put32(b, 24, w, true);
  Put32(b, 28, h, true);
  return b;
}

TEST(Jpeg2000, BadInputIsRefused) {
  if (!HaveTools()) GTEST_SKIP() << "OpenJPEG tools are not installed";
  testutil::TempDir dir;
  const std::string src = WriteSource(dir, MakePicture(64, 48, 3), 8);
  const std::string j2k = dir.File("good.j2k"), jp2 = dir.File("good.jp2");
  ASSERT_EQ(testutil::RunCommand(kCompress + " -i '" + src + "' -o '" + j2k + "' && " + kCompress +
                                 " -i '" + src + "' -o '" + jp2 + "'")
                .status,
            0);
  const std::vector<BadInput> cases = {
      {"empty", [](const std::string&) { return std::string(); }},
      {"marker_only", [](const std::string& g) { return g.substr(0, 4); }},
      {"truncated_in_the_header", [](const std::string& g) { return g.substr(0, 40); }},
      {"truncated_half", [](const std::string& g) { return Truncated(g, 0.5); }},
      {"truncated_before_the_end_marker", [](const std::string& g) { return g.substr(0, g.size() - 2); }},
      {"claims_65000_x_65000", [](const std::string& g) { return WithSize(g, 65000, 65000); }},
      {"claims_no_width", [](const std::string& g) { return WithSize(g, 0, 48); }},
  };
  ExpectAllRefused(ReadJ2kStream, testutil::ReadFileBytes(j2k), cases);
  ExpectAllRefused(ReadJp2Stream, testutil::ReadFileBytes(jp2),
                   {
                       {"signature_only", [](const std::string& g) { return g.substr(0, 12); }},
                       {"truncated_half", [](const std::string& g) { return Truncated(g, 0.5); }},
                       {"code_stream_as_file", [&](const std::string&) { return testutil::ReadFileBytes(j2k); }},
                   });
}

TEST(Jpeg2000, RefusesWhatItCannotWrite) {
  TPxBitmap empty, cmyk(4, 4, pxCMYK);
  testutil::TempDir dir;
  EXPECT_FALSE(WriteFile(WriteJp2Stream, empty, dir.File("x.jp2")));
  EXPECT_FALSE(WriteFile(WriteJ2kStream, cmyk, dir.File("x.j2k")));
}

}  // namespace
