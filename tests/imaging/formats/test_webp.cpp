// WebP through libwebp: files written by cwebp read with the pixels dwebp
// gives, files we write decoded by dwebp, and damaged files refused.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "codectest.h"
#include "imaging/formats/webp.h"
#include "util/testutil.h"

using namespace std::string_literals;

namespace {

using namespace codectest;

const std::string kCwebp = "/usr/bin/cwebp";
const std::string kDwebp = "/usr/bin/dwebp";

bool HaveTools() { return testutil::HaveTool(kCwebp) && testutil::HaveTool(kDwebp); }

// dwebp's decoding of a file, with alpha when asked.
bool DecodeWithDwebp(const std::string& webp, const testutil::TempDir& dir, bool alpha,
                     Picture& out) {
  const std::string pnm = dir.File(alpha ? "dwebp.pam" : "dwebp.ppm");
  auto r = testutil::RunCommand(kDwebp + " '" + webp + "' " + (alpha ? "-pam" : "-ppm") + " -o '" +
                                pnm + "'");
  return r.status == 0 && ReadNetpbm(pnm, out);
}

struct CwebpCase {
  const char* name;
  int channels;         // of the source picture
  const char* options;  // cwebp's
};

class CwebpFiles : public ::testing::TestWithParam<CwebpCase> {};

TEST_P(CwebpFiles, ReadTheSamePixelsAsDwebp) {
  if (!HaveTools()) GTEST_SKIP() << "webp tools are not installed";
  const CwebpCase& c = GetParam();
  testutil::TempDir dir;
  const Picture source = MakePicture(67, 45, c.channels);
  const std::string src = dir.File(c.channels == 4 ? "src.pam" : "src.ppm");
  const std::string webp = dir.File("file.webp");
  WriteNetpbm(src, source);
  auto r = testutil::RunCommand(kCwebp + " " + c.options + " '" + src + "' -o '" + webp + "'");
  ASSERT_EQ(r.status, 0) << r.output;
  Picture theirs;
  ASSERT_TRUE(DecodeWithDwebp(webp, dir, c.channels == 4, theirs));

  Outcome ours = ReadFile(ReadWebpStream, webp);
  ASSERT_FALSE(ours.aborted) << ours.params.CodecError;
  ExpectSamePixels(*ours.bitmap, theirs, 1, "against dwebp");
  EXPECT_EQ(ours.bitmap->PixelFormat(), pxRGB24);
  EXPECT_EQ(ours.bitmap->HasAlphaChannel(), c.channels == 4);
  EXPECT_EQ(ours.params.Width, 67);
  EXPECT_EQ(ours.params.Height, 45);
  EXPECT_EQ(ours.params.SamplesPerPixel, c.channels == 4 ? 4 : 3);
  if (std::string(c.options).find("-lossless") != std::string::npos) {
    EXPECT_TRUE(ours.params.WebpLossless);
    ExpectSamePixels(*ours.bitmap, source, 0, "lossless keeps the source");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Webp, CwebpFiles,
    ::testing::Values(CwebpCase{"lossy", 3, "-q 80"}, CwebpCase{"lossy_low_quality", 3, "-q 5 -m 6"},
                      CwebpCase{"lossless", 3, "-lossless"},
                      CwebpCase{"lossy_alpha", 4, "-q 70 -exact"},
                      CwebpCase{"lossless_alpha", 4, "-lossless -exact"},
                      CwebpCase{"sharp_yuv", 3, "-q 90 -sharp_yuv"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Webp, ParametersOnlyGiveTheSizeAndNoPixels) {
  if (!HaveTools()) GTEST_SKIP() << "webp tools are not installed";
  testutil::TempDir dir;
  const std::string src = dir.File("src.pam"), webp = dir.File("file.webp");
  WriteNetpbm(src, MakePicture(31, 77, 4));
  ASSERT_EQ(testutil::RunCommand(kCwebp + " -q 50 '" + src + "' -o '" + webp + "'").status, 0);
  Outcome out = ReadFile(ReadWebpStream, webp, true);
  EXPECT_FALSE(out.aborted);
  EXPECT_EQ(out.params.Width, 31);
  EXPECT_EQ(out.params.Height, 77);
  EXPECT_EQ(out.params.SamplesPerPixel, 4);
  EXPECT_TRUE(out.bitmap->IsEmpty());
}

struct WriteCase {
  const char* name;
  int channels;
  bool lossless;
  int quality;
};

class WebpWrites : public ::testing::TestWithParam<WriteCase> {};

TEST_P(WebpWrites, DwebpDecodesWhatWeWrite) {
  if (!HaveTools()) GTEST_SKIP() << "webp tools are not installed";
  const WriteCase& c = GetParam();
  testutil::TempDir dir;
  const Picture source = MakePicture(53, 38, c.channels, 11);
  auto bitmap = ToBitmap(source);
  const std::string webp = dir.File("ours.webp");
  ASSERT_TRUE(WriteFile(WriteWebpStream, *bitmap, webp, [&](TIOParamsVals& p) {
    p.WebpLossless = c.lossless;
    p.WebpQuality = c.quality;
  }));
  Picture theirs;
  ASSERT_TRUE(DecodeWithDwebp(webp, dir, c.channels == 4, theirs));
  if (c.lossless) {
    ExpectSamePixels(*bitmap, theirs, 0, "lossless");
  } else {
    // Lossy: as close to the source as cwebp's own coding at that quality,
    // and read by us as dwebp reads it.
    const std::string src = dir.File(c.channels == 4 ? "src.pam" : "src.ppm");
    const std::string reference = dir.File("cwebp.webp");
    WriteNetpbm(src, source);
    ASSERT_EQ(testutil::RunCommand(kCwebp + " -exact -q " + std::to_string(c.quality) + " '" + src +
                                   "' -o '" + reference + "'")
                  .status,
              0);
    Picture cwebps;
    ASSERT_TRUE(DecodeWithDwebp(reference, dir, false, cwebps));
    const Picture rgb = [&] {
      Picture p = source;
      if (p.channels == 4) {
        p.channels = 3;
        p.samples.clear();
        for (size_t i = 0; i < source.samples.size(); ++i)
          if (i % 4 != 3) p.samples.push_back(source.samples[i]);
      }
      return p;
    }();
    auto decodedCwebp = ToBitmap(cwebps);
    const double ourError = MeanDifference(*bitmap, theirs) , theirError = MeanDifference(*decodedCwebp, rgb);
    EXPECT_LE(ourError, theirError * 1.05 + 0.25) << "cwebp's error " << theirError;
    EXPECT_GT(ourError, 0.0);
    Outcome ours = ReadFile(ReadWebpStream, webp);
    ASSERT_FALSE(ours.aborted);
    ExpectSamePixels(*ours.bitmap, theirs, 1, "our reading of our file");
  }
}

INSTANTIATE_TEST_SUITE_P(Webp, WebpWrites,
                         ::testing::Values(WriteCase{"lossless", 3, true, 80},
                                           WriteCase{"lossless_alpha", 4, true, 80},
                                           WriteCase{"lossy_q95", 3, false, 95},
                                           WriteCase{"lossy_alpha_q75", 4, false, 75}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Webp, BlackAndWhiteIsWrittenAsColour) {
  if (!HaveTools()) GTEST_SKIP() << "webp tools are not installed";
  testutil::TempDir dir;
  TPxBitmap bw(20, 9, px1g);
  for (int y = 0; y < 9; ++y)
    for (int x = 0; x < 3; ++x) bw.Scanline(y)[x] = static_cast<uint8_t>(0xA5 ^ (y * 17));
  const std::string webp = dir.File("bw.webp");
  ASSERT_TRUE(WriteFile(WriteWebpStream, bw, webp, [](TIOParamsVals& p) { p.WebpLossless = true; }));
  Picture theirs;
  ASSERT_TRUE(DecodeWithDwebp(webp, dir, false, theirs));
  TPxBitmap colour;
  ASSERT_TRUE(colour.Assign(bw));
  ASSERT_TRUE(colour.ConvertTo(pxRGB24));
  ExpectSamePixels(colour, theirs, 0, "black and white");
}

TEST(Webp, RefusesWhatItCannotWrite) {
  TPxBitmap empty, cmyk(4, 4, pxCMYK), tooWide(16384, 1, pxRGB24);
  testutil::TempDir dir;
  for (TPxBitmap* b : {&empty, &cmyk, &tooWide}) {
    EXPECT_FALSE(WriteFile(WriteWebpStream, *b, dir.File("x.webp")));
  }
}

TEST(Webp, ContentTest) {
  TPxMemoryStream webp(std::vector<uint8_t>{'R', 'I', 'F', 'F', 9, 0, 0, 0, 'W', 'E', 'B', 'P', 0});
  TPxMemoryStream avi(std::vector<uint8_t>{'R', 'I', 'F', 'F', 9, 0, 0, 0, 'A', 'V', 'I', ' ', 0});
  TPxMemoryStream shortOne(std::vector<uint8_t>{'R', 'I', 'F', 'F'});
  EXPECT_TRUE(IsWebpStream(webp));
  EXPECT_EQ(webp.Position(), 0);
  EXPECT_FALSE(IsWebpStream(avi));
  EXPECT_FALSE(IsWebpStream(shortOne));
}

// A WebP header (VP8X) announcing the largest canvas, with no picture data.
std::string HugeCanvas() {
  std::string b = "RIFF\0\0\0\0WEBPVP8X\x0a\0\0\0"s;
  b += std::string("\x10\0\0\0", 4);  // alpha flag, reserved
  b += std::string("\xff\xff\xff\xff\xff\xff", 6);  // 2^24 - 1 less one, each side
  codectest::Put32(b, 4, static_cast<uint32_t>(b.size() - 8), false);
  return b;
}

TEST(Webp, BadInputIsRefused) {
  if (!HaveTools()) GTEST_SKIP() << "webp tools are not installed";
  testutil::TempDir dir;
  const std::string src = dir.File("src.ppm"), webp = dir.File("file.webp");
  WriteNetpbm(src, MakePicture(40, 30, 3));
  ASSERT_EQ(testutil::RunCommand(kCwebp + " -q 80 '" + src + "' -o '" + webp + "'").status, 0);
  // Two frames: an animation, which this reader does not take.
  const std::string png1 = dir.File("a.png"), png2 = dir.File("b.png"), anim = dir.File("anim.webp");
  const std::string src2 = dir.File("src2.ppm");
  WriteNetpbm(src2, MakePicture(40, 30, 3, 99));
  auto r = testutil::RunCommand("/usr/bin/pnmtopng '" + src + "' > '" + png1 + "' && /usr/bin/pnmtopng '" +
                                src2 + "' > '" + png2 + "' && /usr/bin/img2webp -loop 0 '" + png1 +
                                "' '" + png2 + "' -o '" + anim + "'");
  ASSERT_EQ(r.status, 0) << r.output;
  const std::string animation = testutil::ReadFileBytes(anim);
  const std::string good = testutil::ReadFileBytes(webp);
  ExpectAllRefused(ReadWebpStream, good,
                   {
                       {"empty", [](const std::string&) { return std::string(); }},
                       {"header_only", [](const std::string& g) { return g.substr(0, 12); }},
                       {"truncated_half", [](const std::string& g) { return Truncated(g, 0.5); }},
                       {"truncated_to_frame_header", [](const std::string& g) { return g.substr(0, 30); }},
                       {"frame_bits_zeroed",
                        [](const std::string& g) {
                          std::string b = g;
                          for (size_t i = 20; i < b.size(); ++i) b[i] = 0;
                          return b;
                        }},
                       {"huge_canvas_without_data", [](const std::string&) { return HugeCanvas(); }},
                       {"animation", [&](const std::string&) { return animation; }},
                   });
}

}  // namespace
