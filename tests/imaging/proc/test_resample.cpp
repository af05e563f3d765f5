// Resampling: size rules, nearest-pixel mapping, the kernel scheme against a
// direct per-pixel transcription, uniform images, threads, alpha and 1-bit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "imaging/core/pxblocks.h"
#include "imaging/core/pxutils.h"
#include "imaging/proc/imagingproc.h"
#include "imaging/proc/pxparallel.h"
#include "imaging/proc/resample.h"

namespace {

void FillRandom(TPxBitmap& b, unsigned seed) {
  std::mt19937 rng(seed);
  const int bytes = (b.Width() * b.BitCount() + 7) / 8;
  for (int y = 0; y < b.Height(); ++y) {
    uint8_t* p = b.Scanline(y);
    for (int i = 0; i < bytes; ++i) p[i] = static_cast<uint8_t>(rng());
  }
}

void FillUniform(TPxBitmap& b, uint8_t v0, uint8_t v1, uint8_t v2) {
  for (int y = 0; y < b.Height(); ++y) {
    uint8_t* p = b.Scanline(y);
    for (int x = 0; x < b.Width(); ++x) {
      p[x * 3] = v0;
      p[x * 3 + 1] = v1;
      p[x * 3 + 2] = v2;
    }
  }
}

// Pixel bytes of a whole image, row by row without padding.
std::vector<uint8_t> Pixels(TPxBitmap& b) {
  std::vector<uint8_t> out;
  const int bits = b.Width() * b.BitCount();
  const int bytes = (bits + 7) / 8;
  for (int y = 0; y < b.Height(); ++y) {
    out.insert(out.end(), b.Scanline(y), b.Scanline(y) + bytes);
    // Padding bits after the last pixel of a 1-bit row are not pixels.
    if (bits % 8) out.back() &= static_cast<uint8_t>(0xFF00 >> (bits % 8));
  }
  return out;
}

const TResampleFilter kKernelFilters[] = {rfTriangle, rfHermite, rfBell,    rfBSpline,
                                          rfLanczos3, rfMitchell, rfNearest, rfLinear};
const TResampleFilter kAllFilters[] = {rfNone,      rfTriangle, rfHermite,    rfBell,       rfBSpline,
                                       rfLanczos3,  rfMitchell, rfNearest,    rfLinear,     rfFastLinear,
                                       rfBilinear,  rfBicubic,  rfProjectBW,  rfProjectWB};

// ------------------------------------------------------------- size rules

struct SizeCase {
  int sw, sh, w, h, dw, dh;
};
class ResampleSize : public ::testing::TestWithParam<std::tuple<SizeCase, TResampleFilter>> {};

TEST_P(ResampleSize, SpecialWidthAndHeightValues) {
  const auto [c, filter] = GetParam();
  TPxBitmap b(c.sw, c.sh, pxRGB24);
  FillRandom(b, 1);
  TImagingProc proc(&b);
  proc.Resample(c.w, c.h, filter);
  EXPECT_EQ(b.Width(), c.dw);
  EXPECT_EQ(b.Height(), c.dh);
  EXPECT_EQ(b.PixelFormat(), pxRGB24);
  ASSERT_EQ(proc.UndoCount(), 1);
  EXPECT_EQ(proc.UndoCaption(0), "Resample " + std::to_string(c.w) + "," + std::to_string(c.h));
}

INSTANTIATE_TEST_SUITE_P(
    Rules, ResampleSize,
    ::testing::Combine(::testing::Values(SizeCase{400, 200, -1, 300, 600, 300},  // keep aspect from height
                                         SizeCase{400, 200, 300, -1, 300, 150},  // keep aspect from width
                                         SizeCase{400, 200, 0, 50, 400, 50},     // keep width
                                         SizeCase{400, 200, 60, 0, 60, 200},     // keep height
                                         SizeCase{400, 200, -3, 50, 3, 50},      // magnitude
                                         SizeCase{400, 200, 30, -7, 30, 7},
                                         SizeCase{400, 200, 1, -1, 1, 1},        // never below 1
                                         SizeCase{400, 200, -5, -7, 400, 200}),  // both negative: unchanged
                       ::testing::Values(rfNone, rfLanczos3, rfFastLinear)));

TEST(Resample, EmptyImageIsLeftAloneWithoutUndo) {
  TPxBitmap b;
  TImagingProc proc(&b);
  proc.Resample(10, 10, rfLanczos3);
  EXPECT_TRUE(b.IsEmpty());
  EXPECT_EQ(proc.UndoCount(), 0);
}

TEST(Resample, UndoRestoresAndKeepsAtMostTheLimit) {
  TPxBitmap b(40, 30, pxRGB24);
  FillRandom(b, 2);
  const std::vector<uint8_t> before = Pixels(b);
  TImagingProc proc(&b);
  proc.UndoLimit = 2;
  proc.Resample(20, 15, rfTriangle);
  const std::vector<uint8_t> half = Pixels(b);
  proc.Resample(10, 5, rfTriangle);
  proc.Resample(8, 4, rfTriangle);
  // The copy before the first resample was dropped as the oldest.
  ASSERT_EQ(proc.UndoCount(), 2);
  EXPECT_EQ(proc.UndoCaption(0), "Resample 10,5");
  EXPECT_EQ(proc.UndoCaption(1), "Resample 8,4");
  EXPECT_TRUE(proc.Undo());
  EXPECT_TRUE(proc.Undo());
  EXPECT_FALSE(proc.Undo());
  ASSERT_EQ(b.Width(), 20);
  EXPECT_EQ(Pixels(b), half);

  TPxBitmap c(40, 30, pxRGB24);
  FillRandom(c, 2);
  proc.AttachBitmap(&c);
  proc.ClearUndo();
  proc.Resample(5, 5, rfNone);
  ASSERT_TRUE(proc.Undo());
  EXPECT_EQ(Pixels(c), before);
  proc.AutoUndo = false;
  proc.Resample(5, 5, rfNone);
  EXPECT_EQ(proc.UndoCount(), 0);
}

TEST(Resample, ProgressRisesAndStaysWithinAHundred) {
  for (TResampleFilter f : kAllFilters) {
    TPxBitmap b(60, 40, pxRGB24);
    FillRandom(b, 3);
    TImagingProc proc(&b);
    std::vector<int> seen;
    proc.OnProgress = [&](TImagingProc* sender, int per) {
      EXPECT_EQ(sender, &proc);
      seen.push_back(per);
    };
    proc.Resample(90, 25, f);
    ASSERT_FALSE(seen.empty()) << int(f);
    for (size_t i = 1; i < seen.size(); ++i) EXPECT_LE(seen[i - 1], seen[i]) << int(f);
    EXPECT_GE(seen.front(), 0);
    EXPECT_LE(seen.back(), 100);
    EXPECT_GE(seen.back(), 90) << int(f);
  }
}

// ------------------------------------------------------------ nearest pixel

TEST(ResampleNone, HalvingTakesEverySecondPixelFromTheOrigin) {
  TPxBitmap b(170, 220, pxRGB24);
  FillRandom(b, 4);
  TPxBitmap src;
  src.Assign(b);
  TImagingProc proc(&b);
  proc.Resample(85, 110, rfNone);
  ASSERT_EQ(b.Width(), 85);
  ASSERT_EQ(b.Height(), 110);
  for (int y = 0; y < 110; ++y)
    for (int x = 0; x < 85; ++x)
      ASSERT_EQ(0, std::memcmp(b.Scanline(y) + x * 3, src.Scanline(2 * y) + 2 * x * 3, 3)) << x << "," << y;
}

TEST(ResampleNone, ColumnMapOf1600Onto850) {
  // Each pixel holds its column number.
  TPxBitmap b(1600, 2, px16g);
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 1600; ++x) {
      b.Scanline(y)[x * 2] = static_cast<uint8_t>(x);
      b.Scanline(y)[x * 2 + 1] = static_cast<uint8_t>(x >> 8);
    }
  TImagingProc proc(&b);
  proc.Resample(850, 2, rfNone);
  ASSERT_EQ(b.Width(), 850);
  auto col = [&](int j) { return b.Scanline(0)[j * 2] | (b.Scanline(0)[j * 2 + 1] << 8); };
  const int first[] = {0, 1, 3, 5, 7, 9, 11, 13, 15, 16};
  for (int j = 0; j < 10; ++j) EXPECT_EQ(col(j), first[j]) << j;
  const double rx = 1600.0 / 850.0;
  for (int j = 0; j < 850; ++j) ASSERT_EQ(col(j), static_cast<int>(rx * j)) << j;
}

class ResampleNoneFormat : public ::testing::TestWithParam<TPxPixelFormat> {};

TEST_P(ResampleNoneFormat, SameSizeGivesAnIdenticalImageAndEnlargingRepeats) {
  TPxBitmap b(37, 23, GetParam());
  FillRandom(b, 5);
  TPxBitmap orig;
  orig.Assign(b);
  TImagingProc proc(&b);
  proc.Resample(37, 23, rfNone);
  EXPECT_EQ(b.PixelFormat(), GetParam());
  EXPECT_EQ(Pixels(b), Pixels(orig));
  // Doubling the size repeats every pixel twice in both directions.
  proc.Resample(74, 46, rfNone);
  const int bits = b.BitCount();
  auto get = [&](TPxBitmap& im, int x, int y) {
    const uint8_t* r = im.Scanline(y);
    if (bits == 1) return std::vector<uint8_t>{static_cast<uint8_t>((r[x >> 3] >> (7 - (x & 7))) & 1)};
    return std::vector<uint8_t>(r + x * bits / 8, r + (x + 1) * bits / 8);
  };
  for (int y = 0; y < 46; ++y)
    for (int x = 0; x < 74; ++x) ASSERT_EQ(get(b, x, y), get(orig, x / 2, y / 2)) << x << "," << y;
}

INSTANTIATE_TEST_SUITE_P(Formats, ResampleNoneFormat,
                         ::testing::Values(px1g, px8g, px16g, pxRGB24, px32f, pxCMYK, pxRGB48));

TEST(ResampleBitmap, SourceAsItsOwnDestinationIsReadBeforeItIsWritten) {
  TPxBitmap b(31, 17, pxRGB24);
  FillRandom(b, 15);
  TPxBitmap copy;
  copy.Assign(b);
  TPxBitmap expect(31, 17, pxRGB24);
  // B-spline blurs even at the same size, so every output pixel reads its neighbours.
  ResampleBitmap(copy, expect, rfBSpline);
  ResampleBitmap(b, b, rfBSpline);
  EXPECT_EQ(Pixels(b), Pixels(expect));
}

// ---------------------------------------------------------- kernel scheme

// Direct transcription of the separable kernel scheme, one pixel at a time.
std::vector<uint8_t> ReferenceKernel(TPxBitmap& src, int dw, int dh, TResampleFilter f) {
  const TPxKernelFilter* kf = PxKernelFilter(f);
  const int sw = src.Width(), sh = src.Height();
  auto lists = [&](int s, int d) {
    double scale = (s == 1 || d == 1) ? double(d) / s : double(d - 1) / (s - 1);
    std::vector<std::vector<std::pair<int, int>>> out(d);
    for (int i = 0; i < d; ++i) {
      double center = i / scale;
      double radius = scale >= 1 ? kf->Support : kf->Support / scale;
      for (int j = int(std::floor(center - radius)); j <= int(std::ceil(center + radius)); ++j) {
        double w = scale >= 1 ? kf->Kernel(center - j) * 256 : kf->Kernel((center - j) * scale) * 256 * scale;
        int wi = int(std::nearbyint(w));
        if (wi == 0) continue;
        int n = j < 0 ? -j : (j >= s ? 2 * s - 1 - j : j);
        n = std::max(0, std::min(s - 1, n));
        out[i].push_back({n, wi});
      }
    }
    return out;
  };
  auto finish = [](int sum, int wsum) {
    long v = wsum != 0 ? sum / wsum : long(uint32_t(sum) >> 8);
    return uint8_t(std::max(0L, std::min(255L, v)));
  };
  auto h = lists(sw, dw), v = lists(sh, dh);
  std::vector<uint8_t> work(size_t(dw) * sh * 3), out(size_t(dw) * dh * 3);
  for (int y = 0; y < sh; ++y)
    for (int i = 0; i < dw; ++i)
      for (int c = 0; c < 3; ++c) {
        int sum = 0, wsum = 0;
        for (auto [n, w] : h[i]) sum += w * src.Scanline(y)[n * 3 + c], wsum += w;
        work[(size_t(y) * dw + i) * 3 + c] = finish(sum, wsum);
      }
  for (int y = 0; y < dh; ++y)
    for (int x = 0; x < dw * 3; ++x) {
      int sum = 0, wsum = 0;
      for (auto [n, w] : v[y]) sum += w * work[size_t(n) * dw * 3 + x], wsum += w;
      out[size_t(y) * dw * 3 + x] = finish(sum, wsum);
    }
  return out;
}

struct Dim {
  int sw, sh, dw, dh;
};
const Dim kDims[] = {{40, 30, 13, 9}, {13, 9, 41, 29}, {30, 20, 71, 7}, {1, 17, 5, 3}, {25, 1, 7, 4}, {9, 9, 9, 9}};

class KernelFilters : public ::testing::TestWithParam<std::tuple<TResampleFilter, Dim>> {};

TEST_P(KernelFilters, MatchesTheDirectScheme) {
  const auto [f, d] = GetParam();
  TPxBitmap src(d.sw, d.sh, pxRGB24);
  FillRandom(src, 6);
  const std::vector<uint8_t> expect = ReferenceKernel(src, d.dw, d.dh, f);
  for (bool simd : {true, false}) {
    PxResampleUseSimd = simd;
    TPxBitmap dst(d.dw, d.dh, pxRGB24);
    ResampleBitmap(src, dst, f);
    EXPECT_EQ(Pixels(dst), expect) << "simd " << simd;
  }
  PxResampleUseSimd = true;
}

TEST_P(KernelFilters, UniformImageStaysUniform) {
  const auto [f, d] = GetParam();
  TPxBitmap b(d.sw, d.sh, pxRGB24);
  FillUniform(b, 200, 17, 255);
  TImagingProc proc(&b);
  proc.Resample(d.dw, d.dh, f);
  for (int y = 0; y < b.Height(); ++y)
    for (int x = 0; x < b.Width(); ++x) {
      const uint8_t* p = b.Scanline(y) + x * 3;
      ASSERT_EQ(p[0], 200) << x << "," << y;
      ASSERT_EQ(p[1], 17);
      ASSERT_EQ(p[2], 255);
    }
}

INSTANTIATE_TEST_SUITE_P(All, KernelFilters,
                         ::testing::Combine(::testing::ValuesIn(kKernelFilters), ::testing::ValuesIn(kDims)));

class OtherFilters : public ::testing::TestWithParam<std::tuple<TResampleFilter, Dim>> {};

TEST_P(OtherFilters, UniformImageStaysUniform) {
  const auto [f, d] = GetParam();
  TPxBitmap b(d.sw, d.sh, pxRGB24);
  FillUniform(b, 90, 140, 230);
  TImagingProc proc(&b);
  proc.Resample(d.dw, d.dh, f);
  for (int y = 0; y < b.Height(); ++y)
    for (int x = 0; x < b.Width(); ++x) {
      const uint8_t* p = b.Scanline(y) + x * 3;
      ASSERT_EQ(p[0], 90) << x << "," << y;
      ASSERT_EQ(p[1], 140);
      ASSERT_EQ(p[2], 230);
    }
}

INSTANTIATE_TEST_SUITE_P(Interpolating, OtherFilters,
                         ::testing::Combine(::testing::Values(rfFastLinear, rfBilinear, rfBicubic),
                                            ::testing::ValuesIn(kDims)));

TEST(ResampleThreads, OneThreadAndManyGiveTheSameBytes) {
  // Large enough that the work is split into bands over several threads.
  for (Dim d : {Dim{480, 360, 150, 110}, Dim{240, 160, 400, 260}}) {
    TPxBitmap src(d.sw, d.sh, pxRGB24);
    FillRandom(src, 7);
    src.AlphaChannel();
    FillRandom(*src.AlphaChannel(), 8);
    for (TResampleFilter f : kAllFilters) {
      std::vector<uint8_t> result[2], alpha[2];
      for (int t = 0; t < 2; ++t) {
        SetPxThreadCount(t == 0 ? 1 : 5);
        TPxBitmap s;
        s.Assign(src);
        TPxBitmap dst(d.dw, d.dh, pxRGB24);
        ResampleBitmap(s, dst, f);
        result[t] = Pixels(dst);
        ASSERT_TRUE(dst.HasAlphaChannel());
        alpha[t] = Pixels(*dst.AlphaChannel());
      }
      EXPECT_EQ(result[0], result[1]) << "filter " << int(f) << " to " << d.dw;
      EXPECT_EQ(alpha[0], alpha[1]) << "filter " << int(f) << " to " << d.dw;
    }
  }
  SetPxThreadCount(0);
}

TEST(ResampleStorage, FileBackedBitmapsGiveTheSameBytesAsMemoryOnes) {
  TPxBitmap mem(120, 90, pxRGB24);
  FillRandom(mem, 13);
  TPxBitmap file;
  file.FileThreshold = 0;  // anything larger than nothing goes to a temporary file
  ASSERT_TRUE(file.Allocate(120, 90, pxRGB24));
  if (file.Location() != pxFile) GTEST_SKIP() << "no temporary folder to put the pixels in";
  for (int y = 0; y < 90; ++y) std::memcpy(file.Scanline(y), mem.Scanline(y), 360);
  // File-backed pictures are resampled a band of rows at a time: every size
  // (strong reductions to one or two rows, enlargements) and filter must give
  // the bytes of the whole-picture run.
  const int sizes[][2] = {{50, 140}, {37, 2}, {120, 1}, {300, 250}, {7, 45}};
  for (TResampleFilter f : {rfNone, rfLanczos3, rfTriangle, rfMitchell, rfBSpline, rfFastLinear, rfBicubic})
    for (const auto& size : sizes) {
      TPxBitmap a(size[0], size[1], pxRGB24), b;
      b.FileThreshold = 0;
      ASSERT_TRUE(b.Allocate(size[0], size[1], pxRGB24));
      ResampleBitmap(mem, a, f);
      ResampleBitmap(file, b, f);
      EXPECT_EQ(Pixels(a), Pixels(b)) << int(f) << " to " << size[0] << " x " << size[1];
    }
  // A memory destination from a file source, and gray pictures, the same.
  TPxBitmap memGray, fileGray;
  ASSERT_TRUE(memGray.Assign(mem) && memGray.ConvertTo(px8g));
  fileGray.FileThreshold = 0;
  ASSERT_TRUE(fileGray.Assign(memGray));
  ASSERT_EQ(fileGray.Location(), pxFile);
  for (TResampleFilter f : {rfNone, rfLanczos3, rfFastLinear}) {
    TPxBitmap a(61, 33, px8g), b(61, 33, px8g), c(61, 33, pxRGB24);
    ResampleBitmap(memGray, a, f);
    ResampleBitmap(fileGray, b, f);
    EXPECT_EQ(Pixels(a), Pixels(b)) << int(f);
    TPxBitmap m(61, 33, pxRGB24);
    ResampleBitmap(mem, m, f);
    ResampleBitmap(file, c, f);
    EXPECT_EQ(Pixels(m), Pixels(c)) << int(f);
  }
}

TEST(ResampleStorage, FileBackedPictureKeepsItsMemoryNearTheFileThreshold) {
  const int64_t threshold = 1 << 20;
  TPxBitmap file;
  file.FileThreshold = threshold;
  ASSERT_TRUE(file.Allocate(1600, 1200, pxRGB24));  // 5.8 MB
  ASSERT_EQ(file.Location(), pxFile);
  for (int y = 0; y < 1200; ++y) std::memset(file.Scanline(y), y & 255, 1600 * 3);
  for (TResampleFilter f : {rfNone, rfLanczos3, rfFastLinear}) {
    TPxBitmap out;
    out.FileThreshold = threshold;
    ASSERT_TRUE(out.Allocate(1000, 1400, pxRGB24));  // 4.2 MB, also in a file
    ASSERT_EQ(out.Location(), pxFile);
    PxBlockResetPeak();
    const int64_t before = PxBlockLiveBytes();
    ResampleBitmap(file, out, f);
    EXPECT_LT(PxBlockPeakBytes() - before, 2 * threshold) << int(f);
    EXPECT_NEAR(out.Scanline(700)[0], 1200 * 700 / 1400 & 255, 3) << int(f);
  }
}

// ---------------------------------------------------------------- fast linear

// Direct transcription of the fast linear scheme, one sample at a time.
std::vector<uint8_t> ReferenceFastLinear(TPxBitmap& src, int dw, int dh) {
  const int sw = src.Width(), sh = src.Height();
  const double f = double(dw) / sw, e = double(dh) / sh;
  std::vector<uint8_t> work(size_t(dw) * sh * 3), out(size_t(dw) * dh * 3);
  for (int y = 0; y < sh; ++y)
    for (int j = 0; j < dw; ++j) {
      double p = j / f;
      int l = int(p), fr = int((p - l) * 131072);
      int r = int(std::min(j + 1, dw - 1) / f + 0.0000000001);
      for (int c = 0; c < 3; ++c) {
        const uint8_t* row = src.Scanline(y);
        int v;
        if (f > 1) {
          int a = row[l * 3 + c], b = row[std::min(l + 1, sw - 1) * 3 + c];
          v = a + int(std::floor((b - a) * double(fr) / 131072));
        } else {
          int sum = 0;
          for (int x = l; x <= r; ++x) sum += row[x * 3 + c];
          v = sum / (r - l + 1);
        }
        work[(size_t(y) * dw + j) * 3 + c] = uint8_t(v);
      }
    }
  for (int j = 0; j < dh; ++j)
    for (int x = 0; x < dw * 3; ++x) {
      int v;
      if (e > 1) {
        double p = j / e;
        int row = int(p), fr = int((p - row) * 131072);
        int a = work[size_t(row) * dw * 3 + x], b = work[size_t(row + 1 < sh ? row + 1 : row) * dw * 3 + x];
        v = a + int(std::floor((b - a) * double(fr) / 131072));
      } else {
        int r0 = int(j / e), r1 = int(std::min(j + 1, dh - 1) / e), sum = 0;
        for (int r = r0; r <= r1; ++r) sum += work[size_t(r) * dw * 3 + x];
        v = sum / (r1 - r0 + 1);
      }
      out[size_t(j) * dw * 3 + x] = uint8_t(v);
    }
  return out;
}

class FastLinear : public ::testing::TestWithParam<Dim> {};

TEST_P(FastLinear, MatchesTheDirectScheme) {
  const Dim d = GetParam();
  TPxBitmap src(d.sw, d.sh, pxRGB24);
  FillRandom(src, 12);
  TPxBitmap dst(d.dw, d.dh, pxRGB24);
  ResampleBitmap(src, dst, rfFastLinear);
  EXPECT_EQ(Pixels(dst), ReferenceFastLinear(src, d.dw, d.dh));
}

INSTANTIATE_TEST_SUITE_P(Sizes, FastLinear,
                         ::testing::Values(Dim{40, 30, 13, 9}, Dim{13, 9, 41, 29}, Dim{30, 20, 71, 7},
                                           Dim{600, 400, 150, 100}, Dim{17, 300, 17, 301}, Dim{7, 5, 7, 3}));

TEST(ResampleFastLinear, UnchangedWidthStillAveragesWithTheRightNeighbour) {
  TPxBitmap b(9, 4, pxRGB24);
  FillRandom(b, 9);
  TPxBitmap src;
  src.Assign(b);
  TImagingProc proc(&b);
  proc.Resample(9, 6, rfFastLinear);
  ASSERT_EQ(b.Width(), 9);
  // Row 0 interpolates at fraction 0, so it is the horizontal result itself.
  for (int x = 0; x < 9; ++x)
    for (int c = 0; c < 3; ++c) {
      int a = src.Scanline(0)[x * 3 + c];
      int r = src.Scanline(0)[std::min(x + 1, 8) * 3 + c];
      EXPECT_EQ(b.Scanline(0)[x * 3 + c], x < 8 ? (a + r) / 2 : a) << x;
    }
}

TEST(ResampleFastLinear, SameSizeIsACopy) {
  TPxBitmap b(11, 7, pxRGB24);
  FillRandom(b, 10);
  TPxBitmap src;
  src.Assign(b);
  TPxBitmap dst(11, 7, pxRGB24);
  ResampleBitmap(b, dst, rfFastLinear);
  EXPECT_EQ(Pixels(dst), Pixels(src));
}

// ----------------------------------------------------------------- projections

struct ProjectCase {
  TResampleFilter filter;
  uint8_t ground, dot;
};
class Projection : public ::testing::TestWithParam<ProjectCase> {};

TEST_P(Projection, OneDotSurvivesAReduction) {
  const ProjectCase c = GetParam();
  TPxBitmap b(40, 40, pxRGB24);
  FillUniform(b, c.ground, c.ground, c.ground);
  std::memset(b.Scanline(21) + 13 * 3, c.dot, 3);
  TPxBitmap dst(10, 10, pxRGB24);
  ResampleBitmap(b, dst, c.filter);
  int dots = 0;
  for (int y = 0; y < 10; ++y)
    for (int x = 0; x < 10; ++x) {
      const uint8_t* p = dst.Scanline(y) + x * 3;
      ASSERT_TRUE(p[0] == p[1] && p[1] == p[2]);
      ASSERT_TRUE(p[0] == 0 || p[0] == 255);
      if (p[0] == c.dot) {
        ++dots;
        // Destination row j covers source rows 4(j-1) .. 4j, column k likewise.
        EXPECT_TRUE(4 * (y - 1) <= 21 && 21 <= 4 * y) << y;
        EXPECT_TRUE(4 * (x - 1) <= 13 && 13 <= 4 * x) << x;
      }
    }
  EXPECT_GE(dots, 1);
  EXPECT_LE(dots, 4);
}

INSTANTIATE_TEST_SUITE_P(Both, Projection,
                         ::testing::Values(ProjectCase{rfProjectBW, 255, 0}, ProjectCase{rfProjectWB, 0, 255}));

// ------------------------------------------------------------------ alpha plane

class AlphaGray : public ::testing::TestWithParam<TResampleFilter> {};

TEST_P(AlphaGray, TransparentPixelsTurnGrayAndAlphaFollows) {
  TPxBitmap b(12, 10, pxRGB24);
  FillUniform(b, 0, 0, 255);
  TPxBitmap* a = b.AlphaChannel();
  a->Fill(0);
  TImagingProc proc(&b);
  proc.Resample(24, 5, GetParam());
  ASSERT_TRUE(b.HasAlphaChannel());
  ASSERT_EQ(b.AlphaChannel()->Width(), 24);
  for (int y = 0; y < b.Height(); ++y)
    for (int x = 0; x < b.Width(); ++x) {
      const uint8_t* p = b.Scanline(y) + x * 3;
      ASSERT_EQ(p[0], 128);
      ASSERT_EQ(p[2], 128);
      ASSERT_EQ(b.Alpha(x, y), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Filters, AlphaGray,
                         ::testing::Values(rfNone, rfTriangle, rfLanczos3, rfMitchell, rfFastLinear, rfBilinear,
                                           rfBicubic));

TEST(ResampleAlpha, TheSourceItselfIsGrayedAndFullAlphaIsCopied) {
  TPxBitmap b(6, 6, pxRGB24);
  FillUniform(b, 10, 20, 30);
  b.Alpha(2, 3, 0);
  TPxBitmap dst(3, 3, pxRGB24);
  ResampleBitmap(b, dst, rfNone);
  EXPECT_EQ(b.Scanline(3)[2 * 3], 128);
  EXPECT_EQ(b.Scanline(3)[0], 10);
  ASSERT_TRUE(dst.HasAlphaChannel());
  EXPECT_FALSE(dst.AlphaChannel()->FullAlpha());
}

// ------------------------------------------------------------- other formats

class FilteredFormat : public ::testing::TestWithParam<std::tuple<TPxPixelFormat, TResampleFilter>> {};

TEST_P(FilteredFormat, UniformPictureKeepsItsFormatAndColour) {
  const auto [pf, f] = GetParam();
  TPxBitmap b(30, 20, pf);
  if (pf == px8p)
    for (int i = 0; i < 256; ++i) b.PaletteColor(i, MakeBGR(uint8_t(i), uint8_t(255 - i), 90));
  double value = 0x3060C0;  // a colour reference for the colour formats
  if (pf == px8p) value = 77;
  if (pf == px8g) value = 150;
  if (pf == px16g) value = 40000;
  if (pf == px32f) value = 0.5;
  b.Fill(value);
  TPxBitmap ref;
  ref.Assign(b);
  ref.ConvertTo(pxRGB24);
  const TBGR want{ref.Scanline(0)[0], ref.Scanline(0)[1], ref.Scanline(0)[2]};
  TImagingProc proc(&b);
  proc.Resample(47, 9, f);
  ASSERT_EQ(b.PixelFormat(), pf);
  ASSERT_EQ(b.Width(), 47);
  const int bytes = b.BitCount() / 8;
  for (int y = 0; y < b.Height(); ++y)
    for (int x = 0; x < b.Width(); ++x)
      ASSERT_EQ(0, std::memcmp(b.Scanline(y) + x * bytes, b.Scanline(0), bytes)) << x << "," << y;
  TPxBitmap got;
  got.Assign(b);
  got.ConvertTo(pxRGB24);
  EXPECT_NEAR(got.Scanline(0)[0], want.b, 1);
  EXPECT_NEAR(got.Scanline(0)[1], want.g, 1);
  EXPECT_NEAR(got.Scanline(0)[2], want.r, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, FilteredFormat,
    ::testing::Combine(::testing::Values(px8g, px8p, px16g, pxCMYK, pxRGB48, px32f),
                       ::testing::Values(rfLanczos3, rfMitchell, rfFastLinear, rfBicubic, rfBilinear)));

TEST(FilteredFormat, GrayMatchesTheSameGrayIn24Bit) {
  TPxBitmap g(40, 30, px8g);
  FillRandom(g, 14);
  TPxBitmap c;
  c.Assign(g);
  c.ConvertTo(pxRGB24);
  for (TResampleFilter f : {rfTriangle, rfLanczos3, rfFastLinear}) {
    TPxBitmap gd(23, 51, px8g), cd(23, 51, pxRGB24);
    ResampleBitmap(g, gd, f);
    ResampleBitmap(c, cd, f);
    for (int y = 0; y < 51; ++y)
      for (int x = 0; x < 23; ++x) ASSERT_EQ(gd.Scanline(y)[x], cd.Scanline(y)[x * 3 + 1]) << int(f);
  }
}

TEST(ResampleKernel, OnePixelFillsTheWholeDestination) {
  TPxBitmap b(1, 1, pxRGB24);
  b.Fill(0x123456);
  TImagingProc proc(&b);
  proc.Resample(5, 4, rfLanczos3);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 5; ++x) ASSERT_EQ(0, std::memcmp(b.Scanline(y) + x * 3, "\x12\x34\x56", 3));
}

// ---------------------------------------------------------------------- 1-bit

class OneBit : public ::testing::TestWithParam<std::tuple<TResampleFilter, Dim>> {};

TEST_P(OneBit, FilteredResampleGivesGray24Bit) {
  const auto [f, d] = GetParam();
  TPxBitmap b(d.sw, d.sh, px1g);
  FillRandom(b, 11);
  TImagingProc proc(&b);
  proc.Resample(d.dw, d.dh, f);
  ASSERT_EQ(b.PixelFormat(), pxRGB24);
  ASSERT_EQ(b.Width(), d.dw);
  for (int y = 0; y < b.Height(); ++y)
    for (int x = 0; x < b.Width(); ++x) {
      const uint8_t* p = b.Scanline(y) + x * 3;
      ASSERT_TRUE(p[0] == p[1] && p[1] == p[2]) << x << "," << y;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Filters, OneBit,
    ::testing::Combine(::testing::Values(rfTriangle, rfLanczos3, rfNearest, rfFastLinear, rfBilinear, rfBicubic,
                                         rfProjectBW, rfProjectWB),
                       ::testing::Values(Dim{40, 30, 13, 9}, Dim{13, 9, 41, 29}, Dim{16, 16, 16, 16})));

TEST(OneBit, ValuesFollowTheBits) {
  // Same size with fast linear copies, a white/black image stays so under a kernel.
  TPxBitmap b(16, 4, px1g);
  for (int y = 0; y < 4; ++y) b.Scanline(y)[0] = 0xF0, b.Scanline(y)[1] = 0x0F;
  TPxBitmap dst(16, 4, pxRGB24);
  ResampleBitmap(b, dst, rfFastLinear);
  for (int x = 0; x < 16; ++x) {
    bool white = (x < 4) || (x >= 12);
    EXPECT_EQ(dst.Scanline(2)[x * 3], white ? 255 : 0) << x;
  }
  TPxBitmap all(8, 8, px1g);
  all.Fill(1);
  TPxBitmap big(20, 20, pxRGB24);
  ResampleBitmap(all, big, rfLanczos3);
  for (int y = 0; y < 20; ++y)
    for (int x = 0; x < 20; ++x) ASSERT_EQ(big.Scanline(y)[x * 3 + 1], 255);
}

}  // namespace
