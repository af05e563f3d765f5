#include "imaging/proc/resample.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <numbers>

#include "imaging/proc/pxparallel.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#define PX_HAVE_SSE2 1
#else
#define PX_HAVE_SSE2 0
#endif

bool PxResampleUseSimd = true;

namespace {

// ---------------------------------------------------------------- kernels

double Sinc(double u) {
  if (u == 0.0) return 1.0;
  u *= std::numbers::pi;
  return std::sin(u) / u;
}

double KTriangle(double x) {
  double t = std::fabs(x);
  return t < 1.0 ? 1.0 - t : 0.0;
}
double KHermite(double x) {
  double t = std::fabs(x);
  return t < 1.0 ? (2.0 * t - 3.0) * t * t + 1.0 : 0.0;
}
double KBell(double x) {
  double t = std::fabs(x);
  if (t < 0.5) return 0.75 - t * t;
  if (t < 1.5) return 0.5 * (t - 1.5) * (t - 1.5);
  return 0.0;
}
double KBSpline(double x) {
  double t = std::fabs(x);
  if (t < 1.0) return 0.5 * t * t * t - t * t + 2.0 / 3.0;
  if (t < 2.0) return (2.0 - t) * (2.0 - t) * (2.0 - t) / 6.0;
  return 0.0;
}
double KLanczos3(double x) {
  double t = std::fabs(x);
  return t < 3.0 ? Sinc(t) * Sinc(t / 3.0) : 0.0;
}
double KMitchell(double x) {
  double t = std::fabs(x);
  double t2 = t * t, t3 = t2 * t;
  if (t < 1.0) return (7.0 * t3 - 12.0 * t2 + 16.0 / 3.0) / 6.0;
  if (t < 2.0) return (-(7.0 / 3.0) * t3 + 12.0 * t2 - 20.0 * t + 32.0 / 3.0) / 6.0;
  return 0.0;
}
double KNearest(double x) { return (x > -0.5 && x <= 0.5) ? 1.0 : 0.0; }
double KLinear(double x) {
  if (x >= -1.0 && x < 0.0) return 1.0 + x;
  if (x >= 0.0 && x < 1.0) return 1.0 - x;
  return 0.0;
}

// Indexed by the filter value; entries 1 to 8 are the kernel filters.
const TPxKernelFilter kFilterTable[9] = {
    {nullptr, 0.0},     {KTriangle, 1.0}, {KHermite, 1.0}, {KBell, 1.5},   {KBSpline, 2.0},
    {KLanczos3, 3.0},   {KMitchell, 2.0}, {KNearest, 1.0}, {KLinear, 1.0},
};

inline uint8_t Clamp255(int64_t v) { return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v)); }

// sum div wsum truncated toward zero; a zero weight sum falls back to a
// shift of the sum read as unsigned 32 bits.
inline uint8_t FinishSum(int32_t sum, int32_t wsum) {
  if (wsum != 0) return Clamp255(sum / wsum);
  return Clamp255(static_cast<int64_t>(static_cast<uint32_t>(sum) >> 8));
}

// Rows of a scratch image owned here: a 16-byte aligned block with each row
// padded, so that vector loads may run past the last pixel.
struct TScratchImage {
  int Stride = 0;
  int Height = 0;
  std::unique_ptr<uint8_t[]> Block;
  uint8_t* Base = nullptr;

  void Allocate(int rowBytes, int height) {
    Stride = (rowBytes + 15) / 16 * 16 + 16;
    Height = height;
    size_t bytes = static_cast<size_t>(Stride) * static_cast<size_t>(height) + 32;
    Block.reset(new uint8_t[bytes]);
    Base = Block.get() + ((16 - reinterpret_cast<uintptr_t>(Block.get()) % 16) % 16);
  }
  uint8_t* Row(int y) const { return Base + static_cast<size_t>(Stride) * y; }
};

int ProgressPercent(double done, double total) { return static_cast<int>(done * 100.0 / total); }

// Reports each percentage once and in increasing order.
struct TPercentReporter {
  const TPxPercentFn& Fn;
  int Last = -1;
  void operator()(int percent) {
    if (!Fn || percent <= Last) return;
    Last = percent;
    Fn(percent);
  }
};

// ------------------------------------------------------- contributor lists

// The contributor table prepared for the row loops: per destination index a
// run of (byte offset, weight) pairs padded to an even count, and the values
// that turn a sum into a sample.
struct TPreparedContribs {
  std::vector<int32_t> Start;     // per destination index, into the pair arrays
  std::vector<ptrdiff_t> Off0, Off1;  // byte offsets of the two taps of a pair
  std::vector<int32_t> PackedW;   // the two 16-bit weights of a pair
  std::vector<int32_t> Index;     // plain lists for the exact loops
  std::vector<int32_t> Weight;
  std::vector<int32_t> PlainStart;
  std::vector<int32_t> WeightSum;
  std::vector<float> Inv;         // 1 / weight sum
  std::vector<float> Limit;       // 255 × weight sum
  bool VectorSafe = true;         // every list fits the 16-bit, float path
};

TPreparedContribs Prepare(const TPxContributors& c, ptrdiff_t bytesPerTap) {
  TPreparedContribs p;
  p.Index = c.Index;
  p.Weight = c.Weight;
  p.PlainStart = c.Start;
  p.WeightSum = c.WeightSum;
  const int n = static_cast<int>(c.WeightSum.size());
  p.Start.resize(n + 1);
  p.Inv.resize(n);
  p.Limit.resize(n);
  for (int i = 0; i < n; ++i) {
    p.Start[i] = static_cast<int32_t>(p.Off0.size());
    int64_t absSum = 0;
    for (int k = c.Start[i]; k < c.Start[i + 1]; k += 2) {
      int32_t w0 = c.Weight[k];
      int32_t i0 = c.Index[k];
      bool pair = k + 1 < c.Start[i + 1];
      int32_t w1 = pair ? c.Weight[k + 1] : 0;
      int32_t i1 = pair ? c.Index[k + 1] : i0;
      if (std::abs(w0) > 32767 || std::abs(w1) > 32767) p.VectorSafe = false;
      absSum += std::abs(w0) + std::abs(w1);
      p.Off0.push_back(i0 * bytesPerTap);
      p.Off1.push_back(i1 * bytesPerTap);
      p.PackedW.push_back(static_cast<int32_t>((static_cast<uint32_t>(w1) << 16) |
                                               (static_cast<uint32_t>(w0) & 0xffffu)));
    }
    int32_t ws = c.WeightSum[i];
    // The float division below is exact for sums below 2^24 and weight sums
    // up to 8191 (the error stays under half of 1/wsum).
    if (ws < 1 || ws > 8191 || absSum * 255 >= (1 << 24)) p.VectorSafe = false;
    p.Inv[i] = ws != 0 ? 1.0f / static_cast<float>(ws) : 0.0f;
    p.Limit[i] = 255.0f * static_cast<float>(ws);
  }
  p.Start[n] = static_cast<int32_t>(p.Off0.size());
  return p;
}

// ------------------------------------------------------ kernel row loops

// One source row through the horizontal pass, exact integer loop.
void KernelRowHPlain(const uint8_t* src, uint8_t* out, int channels, const TPreparedContribs& c,
                     int dw) {
  for (int i = 0; i < dw; ++i) {
    int32_t s[3] = {0, 0, 0};
    for (int k = c.PlainStart[i]; k < c.PlainStart[i + 1]; ++k) {
      const uint8_t* p = src + c.Index[k] * channels;
      int32_t w = c.Weight[k];
      for (int ch = 0; ch < channels; ++ch) s[ch] += w * p[ch];
    }
    for (int ch = 0; ch < channels; ++ch) out[i * channels + ch] = FinishSum(s[ch], c.WeightSum[i]);
  }
}

#if PX_HAVE_SSE2
// 24-bit horizontal pass, two taps per multiply-add. `src` must allow a
// 4-byte read at the last pixel and `out` a 4-byte write at the last pixel.
void KernelRowH3Simd(const uint8_t* src, uint8_t* out, const TPreparedContribs& c, int dw) {
  const __m128i zero = _mm_setzero_si128();
  const __m128 half = _mm_set1_ps(0.5f);
  const __m128 fzero = _mm_setzero_ps();
  for (int i = 0; i < dw; ++i) {
    __m128i acc = _mm_setzero_si128();
    for (int k = c.Start[i]; k < c.Start[i + 1]; ++k) {
      int32_t a, b;
      std::memcpy(&a, src + c.Off0[k], 4);
      std::memcpy(&b, src + c.Off1[k], 4);
      __m128i p = _mm_unpacklo_epi8(_mm_cvtsi32_si128(a), _mm_cvtsi32_si128(b));
      p = _mm_unpacklo_epi8(p, zero);
      acc = _mm_add_epi32(acc, _mm_madd_epi16(p, _mm_set1_epi32(c.PackedW[k])));
    }
    __m128 f = _mm_cvtepi32_ps(acc);
    f = _mm_min_ps(_mm_max_ps(f, fzero), _mm_set1_ps(c.Limit[i]));
    f = _mm_mul_ps(_mm_add_ps(f, half), _mm_set1_ps(c.Inv[i]));
    __m128i q = _mm_cvttps_epi32(f);
    q = _mm_packs_epi32(q, q);
    q = _mm_packus_epi16(q, q);
    int32_t v = _mm_cvtsi128_si32(q);
    std::memcpy(out + i * 3, &v, 4);
  }
}

// Vertical pass for one destination row over 16-byte strips, two work rows
// per multiply-add, written straight into the destination row. `work` holds
// the rows from the one whose offset is `bias` on; its rows are padded so the
// last strip may read past rowBytes.
void KernelRowVSimd(const uint8_t* work, ptrdiff_t bias, uint8_t* out, int rowBytes,
                    const TPreparedContribs& c, int y) {
  const __m128i zero = _mm_setzero_si128();
  const __m128 half = _mm_set1_ps(0.5f);
  const __m128 fzero = _mm_setzero_ps();
  const __m128 limit = _mm_set1_ps(c.Limit[y]);
  const __m128 inv = _mm_set1_ps(c.Inv[y]);
  const int k0 = c.Start[y], k1 = c.Start[y + 1];
  for (int x = 0; x < rowBytes; x += 16) {
    __m128i a0 = _mm_setzero_si128(), a1 = a0, a2 = a0, a3 = a0;
    for (int k = k0; k < k1; ++k) {
      __m128i ra = _mm_loadu_si128(reinterpret_cast<const __m128i*>(work + (c.Off0[k] - bias) + x));
      __m128i rb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(work + (c.Off1[k] - bias) + x));
      __m128i w = _mm_set1_epi32(c.PackedW[k]);
      __m128i lo = _mm_unpacklo_epi8(ra, rb);
      __m128i hi = _mm_unpackhi_epi8(ra, rb);
      a0 = _mm_add_epi32(a0, _mm_madd_epi16(_mm_unpacklo_epi8(lo, zero), w));
      a1 = _mm_add_epi32(a1, _mm_madd_epi16(_mm_unpackhi_epi8(lo, zero), w));
      a2 = _mm_add_epi32(a2, _mm_madd_epi16(_mm_unpacklo_epi8(hi, zero), w));
      a3 = _mm_add_epi32(a3, _mm_madd_epi16(_mm_unpackhi_epi8(hi, zero), w));
    }
    auto finish = [&](__m128i a) {
      __m128 f = _mm_cvtepi32_ps(a);
      f = _mm_min_ps(_mm_max_ps(f, fzero), limit);
      return _mm_cvttps_epi32(_mm_mul_ps(_mm_add_ps(f, half), inv));
    };
    __m128i q = _mm_packus_epi16(_mm_packs_epi32(finish(a0), finish(a1)),
                                 _mm_packs_epi32(finish(a2), finish(a3)));
    if (x + 16 <= rowBytes) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x), q);
    } else {
      // The last strip of the row: only its own bytes reach the destination.
      alignas(16) uint8_t tail[16];
      _mm_store_si128(reinterpret_cast<__m128i*>(tail), q);
      std::memcpy(out + x, tail, rowBytes - x);
    }
  }
}
#endif

void KernelRowVPlain(const uint8_t* work, int firstRow, size_t stride, uint8_t* out, int rowBytes,
                     const TPreparedContribs& c, int y) {
  const int k0 = c.PlainStart[y], k1 = c.PlainStart[y + 1];
  for (int x = 0; x < rowBytes; ++x) {
    int32_t s = 0;
    for (int k = k0; k < k1; ++k) s += c.Weight[k] * work[(c.Index[k] - firstRow) * stride + x];
    out[x] = FinishSum(s, c.WeightSum[y]);
  }
}

}  // namespace

const TPxKernelFilter* PxKernelFilter(TResampleFilter filter) {
  if (filter >= rfTriangle && filter <= rfLinear) return &kFilterTable[filter];
  return nullptr;
}

TPxContributors PxBuildContributors(TResampleFilter filter, int srcSize, int dstSize) {
  TPxContributors c;
  const TPxKernelFilter* kf = PxKernelFilter(filter);
  if (!kf || srcSize <= 0 || dstSize <= 0) return c;
  const double scale = (srcSize == 1 || dstSize == 1)
                           ? static_cast<double>(dstSize) / srcSize
                           : static_cast<double>(dstSize - 1) / (srcSize - 1);
  const double radius = scale >= 1.0 ? kf->Support : kf->Support / scale;
  c.Start.reserve(dstSize + 1);
  c.WeightSum.reserve(dstSize);
  c.Index.reserve(static_cast<size_t>(dstSize) * static_cast<size_t>(2 * radius + 1));
  for (int i = 0; i < dstSize; ++i) {
    c.Start.push_back(static_cast<int32_t>(c.Index.size()));
    const double center = i / scale;
    const long long jFirst = static_cast<long long>(std::floor(center - radius));
    const long long jLast = static_cast<long long>(std::ceil(center + radius));
    int32_t sum = 0;
    for (long long j = jFirst; j <= jLast; ++j) {
      double w = scale >= 1.0 ? kf->Kernel(center - j) * 256.0
                              : kf->Kernel((center - j) * scale) * 256.0 * scale;
      int32_t weight = static_cast<int32_t>(std::nearbyint(w));
      if (weight == 0) continue;
      long long n = j < 0 ? -j : (j >= srcSize ? 2LL * srcSize - 1 - j : j);
      n = std::clamp<long long>(n, 0, srcSize - 1);
      c.Index.push_back(static_cast<int32_t>(n));
      c.Weight.push_back(weight);
      sum += weight;
    }
    c.WeightSum.push_back(sum);
  }
  c.Start.push_back(static_cast<int32_t>(c.Index.size()));
  return c;
}

void PxResampleKernel(const TPxRows& src, const TPxRows& dst, int channels, TResampleFilter filter,
                      const TPxPercentFn& progress) {
  const int sw = src.Width, sh = src.Height, dw = dst.Width, dh = dst.Height;
  if (sw <= 0 || sh <= 0 || dw <= 0 || dh <= 0) return;
  if (!PxKernelFilter(filter) || (channels != 1 && channels != 3)) return;
  if (sw == 1 && sh == 1) {
    // One pixel has no neighbours to weigh: every destination pixel is it,
    // rather than whatever the destination held.
    for (int y = dst.BandBegin; y < dst.End(); ++y)
      for (int x = 0; x < dw; ++x) std::memcpy(dst.Row[y] + x * channels, src.Row[0], channels);
    return;
  }

  // A separable filter's weights are the same for every row (and column):
  // compute them once per direction.
  const int rowBytes = dw * channels;
  const size_t stride = static_cast<size_t>((rowBytes + 15) / 16 * 16 + 16);
  const TPreparedContribs hc = Prepare(PxBuildContributors(filter, sw, dw), channels);
  const TPreparedContribs vc = Prepare(PxBuildContributors(filter, sh, dh), static_cast<ptrdiff_t>(stride));
  const bool simd = PX_HAVE_SSE2 && PxResampleUseSimd;

  // Each band of destination rows runs the horizontal pass over just the
  // source rows it needs, into a buffer its thread keeps: no work image of
  // the whole picture is made, which would cost as much memory as a second
  // destination. Bands overlap by the kernel's reach; they are made long
  // enough to keep that repeated work to a few percent.
  const double yscale = (sh == 1 || dh == 1) ? static_cast<double>(dh) / sh
                                             : static_cast<double>(dh - 1) / (sh - 1);
  const double reach = 2.0 * (yscale >= 1.0 ? PxKernelFilter(filter)->Support
                                            : PxKernelFilter(filter)->Support / yscale) + 2.0;
  const int workers = PxThreadCount();
  const int bandForOverlap = static_cast<int>(std::min<double>(dh, 25.0 * reach * yscale + 1.0));
  const int bandForBalance = std::max(1, (dh + 2 * workers - 1) / (2 * workers));
  // Small pictures (thumbnails, zoomed views) are done before a thread starts.
  const bool small = static_cast<int64_t>(dw) * dh + static_cast<int64_t>(dw) * sh < 65536;
  const int band = small ? dh : std::max(8, std::min(bandForOverlap, bandForBalance));

  struct Scratch {
    std::vector<uint8_t> work, padded;
  };
  std::vector<Scratch> scratch(workers);
  TPercentReporter report{progress};
  const double share = (sh + dw) / (sh + dw + 0.5);
  const int first = dst.BandBegin, rows = dst.End() - first;

  PxParallelForWorkers(
      rows, band, workers,
      [&](int begin, int end, int worker) {
        begin += first, end += first;
        Scratch& s = scratch[worker];
        int lo = sh, hi = -1;
        for (int y = begin; y < end; ++y)
          for (int k = vc.PlainStart[y]; k < vc.PlainStart[y + 1]; ++k) {
            lo = std::min(lo, vc.Index[k]);
            hi = std::max(hi, vc.Index[k]);
          }
        if (hi < lo) lo = hi = 0;  // rows without weights: the shifted empty sum
        const size_t rows = static_cast<size_t>(hi - lo + 1);
        if (s.work.size() < rows * stride + 16) s.work.resize(rows * stride + 16);
        // The source row is copied into a padded buffer so that the vector
        // loop may read a whole 4-byte word at the last pixel.
        s.padded.resize(static_cast<size_t>(sw) * channels + 16);
        for (int r = lo; r <= hi; ++r) {
          std::memcpy(s.padded.data(), src.Row[r], static_cast<size_t>(sw) * channels);
          uint8_t* out = s.work.data() + (r - lo) * stride;
#if PX_HAVE_SSE2
          if (simd && channels == 3 && hc.VectorSafe) {
            KernelRowH3Simd(s.padded.data(), out, hc, dw);
            continue;
          }
#endif
          KernelRowHPlain(s.padded.data(), out, channels, hc, dw);
        }
        const ptrdiff_t bias = static_cast<ptrdiff_t>(lo) * static_cast<ptrdiff_t>(stride);
        for (int y = begin; y < end; ++y) {
#if PX_HAVE_SSE2
          if (simd && vc.VectorSafe) {
            KernelRowVSimd(s.work.data(), bias, dst.Row[y], rowBytes, vc, y);
            continue;
          }
#endif
          KernelRowVPlain(s.work.data(), lo, stride, dst.Row[y], rowBytes, vc, y);
        }
      },
      [&](int done) { report(static_cast<int>(static_cast<double>(done) / rows * share * 100.0)); });
}

// ------------------------------------------------------------ nearest pixel

void PxResampleNearest(const TPxRows& src, const TPxRows& dst, int bitsPerPixel,
                       const TPxPercentFn& progress) {
  const int sw = src.Width, sh = src.Height, dw = dst.Width, dh = dst.Height;
  if (sw <= 0 || sh <= 0 || dw <= 0 || dh <= 0 || bitsPerPixel <= 0) return;
  const double rx = static_cast<double>(sw) / dw;
  const double ry = static_cast<double>(sh) / dh;
  const int bytes = bitsPerPixel / 8;
  // The column map makes each destination row one pass of copies.
  std::vector<int32_t> col(dw);
  for (int j = 0; j < dw; ++j)
    col[j] = std::min(sw - 1, static_cast<int32_t>(rx * j)) * (bitsPerPixel == 1 ? 1 : bytes);
  TPercentReporter report{progress};
  const int first = dst.BandBegin, rows = dst.End() - first;
  const double total = rows + 0.5;

  PxParallelFor(
      rows, 32,
      [&](int begin, int end) {
        for (int g = begin + first; g < end + first; ++g) {
          const int sy = std::min(sh - 1, static_cast<int>(ry * g));
          const uint8_t* s = src.Row[sy];
          uint8_t* d = dst.Row[g];
          switch (bitsPerPixel) {
            case 1:
              std::memset(d, 0, (static_cast<size_t>(dw) + 7) / 8);
              for (int j = 0; j < dw; ++j) {
                int sx = col[j];
                if (s[sx >> 3] & (0x80 >> (sx & 7))) d[j >> 3] |= static_cast<uint8_t>(0x80 >> (j & 7));
              }
              break;
            case 8:
              for (int j = 0; j < dw; ++j) d[j] = s[col[j]];
              break;
            case 24:
              for (int j = 0; j < dw; ++j) {
                const uint8_t* p = s + col[j];
                d[0] = p[0];
                d[1] = p[1];
                d[2] = p[2];
                d += 3;
              }
              break;
            default:
              for (int j = 0; j < dw; ++j) {
                std::memcpy(d, s + col[j], bytes);
                d += bytes;
              }
              break;
          }
        }
      },
      [&](int done) { report(ProgressPercent(done, total)); });
}

// --------------------------------------------------------------- fast linear

namespace {

// Truncated division by a small count without a divide per sample:
// (sum * M) >> 32 with M = floor(2^32 / n) + 1 is exact while sum * n < 2^32,
// which holds for sums of n bytes when n < 4096.
struct TDivider {
  uint64_t M = 0;
  uint32_t N = 1;
  explicit TDivider(uint32_t n = 1) : M((uint64_t{1} << 32) / n + 1), N(n) {}
  uint32_t operator()(uint32_t sum) const {
    return N < 4096 ? static_cast<uint32_t>((sum * M) >> 32) : sum / N;
  }
};

// Horizontal fast linear pass of one row, C samples per pixel.
template <int C>
void FastRowH(const uint8_t* __restrict s, uint8_t* __restrict w, int dw, int sw, bool interp,
              const int32_t* left, const int32_t* frac, const int32_t* right, const TDivider* div) {
  if (interp) {
    for (int j = 0; j < dw; ++j) {
      const uint8_t* a = s + left[j] * C;
      const uint8_t* b = s + std::min(left[j] + 1, sw - 1) * C;
      const int f = frac[j];
      for (int ch = 0; ch < C; ++ch) w[j * C + ch] = static_cast<uint8_t>(a[ch] + (((b[ch] - a[ch]) * f) >> 17));
    }
    return;
  }
  for (int j = 0; j < dw; ++j) {
    uint32_t sum[C] = {};
    for (int x = left[j]; x <= right[j]; ++x)
      for (int ch = 0; ch < C; ++ch) sum[ch] += s[x * C + ch];
    for (int ch = 0; ch < C; ++ch) w[j * C + ch] = static_cast<uint8_t>(div[j](sum[ch]));
  }
}

void FastRowHAny(const uint8_t* s, uint8_t* w, int C, int dw, int sw, bool interp, const int32_t* left,
                 const int32_t* frac, const int32_t* right, const TDivider* div) {
  if (C == 3) return FastRowH<3>(s, w, dw, sw, interp, left, frac, right, div);
  if (C == 1) return FastRowH<1>(s, w, dw, sw, interp, left, frac, right, div);
  for (int j = 0; j < dw; ++j)
    for (int ch = 0; ch < C; ++ch) {
      const int l = left[j];
      if (interp) {
        const int a = s[l * C + ch], b = s[std::min(l + 1, sw - 1) * C + ch];
        w[j * C + ch] = static_cast<uint8_t>(a + (((b - a) * frac[j]) >> 17));
      } else {
        uint32_t sum = 0;
        for (int x = l; x <= right[j]; ++x) sum += s[x * C + ch];
        w[j * C + ch] = static_cast<uint8_t>(div[j](sum));
      }
    }
}

// d = a + (b - a) * fr / 131072, rounded down, for a whole row.
void LerpRow(const uint8_t* __restrict a, const uint8_t* __restrict b, uint8_t* __restrict d, int n, int fr) {
  for (int x = 0; x < n; ++x) d[x] = static_cast<uint8_t>(a[x] + (((b[x] - a[x]) * fr) >> 17));
}

void AddRow(uint32_t* __restrict acc, const uint8_t* __restrict w, int n) {
  for (int x = 0; x < n; ++x) acc[x] += w[x];
}

// Truncated acc / count for a whole row. In floats the error of
// (acc + 0.5) / count stays far below the 0.5 / count margin to the next
// whole number while count is small; larger counts divide exactly.
void DivideRow(const uint32_t* __restrict acc, uint8_t* __restrict d, int n, uint32_t count) {
  if (count <= 1024) {
    const float inv = 1.0f / static_cast<float>(count);
    for (int x = 0; x < n; ++x)
      d[x] = static_cast<uint8_t>(static_cast<int32_t>((static_cast<float>(static_cast<int32_t>(acc[x])) + 0.5f) * inv));
    return;
  }
  for (int x = 0; x < n; ++x) d[x] = static_cast<uint8_t>(acc[x] / count);
}

}  // namespace

void PxResampleFastLinear(const TPxRows& src, const TPxRows& dst, int channels,
                          const TPxPercentFn& progress, bool alwaysInterpolate) {
  const int sw = src.Width, sh = src.Height, dw = dst.Width, dh = dst.Height;
  if (sw <= 0 || sh <= 0 || dw <= 0 || dh <= 0 || channels <= 0) return;
  const int C = channels;
  const double f = static_cast<double>(dw) / sw;
  const double e = static_cast<double>(dh) / sh;
  TPercentReporter report{progress};
  if (f == 1.0 && e == 1.0) {
    for (int y = dst.BandBegin; y < dst.End(); ++y)
      std::memcpy(dst.Row[y], src.Row[y], static_cast<size_t>(dw) * C);
    report(100);
    return;
  }
  const bool interpH = f > 1.0 || alwaysInterpolate;
  const bool interpV = e > 1.0 || alwaysInterpolate;

  // Column tables: left pixel, 17-bit fraction, and the right end of a box.
  std::vector<int32_t> left(dw), frac(dw), right(dw);
  std::vector<TDivider> colDiv(dw);
  for (int j = 0; j < dw; ++j) {
    double p = j / f;
    int l = std::min(sw - 1, static_cast<int>(p));
    left[j] = l;
    frac[j] = static_cast<int32_t>((p - l) * 131072.0);
    int r = static_cast<int>(std::min(j + 1, dw - 1) / f + 0.0000000001);
    right[j] = std::clamp(r, l, sw - 1);
    colDiv[j] = TDivider(static_cast<uint32_t>(right[j] - l + 1));
  }
  // Row tables: the work rows each destination row reads, and its fraction.
  std::vector<int32_t> row0(dh), row1(dh), rowFrac(dh);
  for (int j = 0; j < dh; ++j) {
    if (interpV) {
      double p = j / e;
      int row = std::min(sh - 1, static_cast<int>(p));
      row0[j] = row;
      row1[j] = row + 1 < sh ? row + 1 : row;
      rowFrac[j] = static_cast<int32_t>((p - row) * 131072.0);
    } else {
      row0[j] = std::min(sh - 1, static_cast<int>(j / e));
      row1[j] = std::clamp(static_cast<int>(std::min(j + 1, dh - 1) / e), row0[j], sh - 1);
    }
  }

  auto horizontal = [&](const uint8_t* s, uint8_t* w) {
    FastRowHAny(s, w, C, dw, sw, interpH, left.data(), frac.data(), right.data(), colDiv.data());
  };

  // Bands of destination rows make the horizontal pass only for the rows
  // they read, in a buffer their thread keeps (no whole-picture work image).
  const int rowBytes = dw * C;
  const size_t stride = static_cast<size_t>(rowBytes);
  const int workers = PxThreadCount();
  const bool small = static_cast<int64_t>(dw) * dh + static_cast<int64_t>(dw) * sh < 65536;
  const int band = small ? dh : std::max(16, std::min(256, (dh + 4 * workers - 1) / (4 * workers)));
  struct Scratch {
    std::vector<uint8_t> work;
    std::vector<uint32_t> acc;
  };
  std::vector<Scratch> scratch(workers);
  const double share = (sh + dh) / (sh + dh + 0.5);
  const int first = dst.BandBegin, rows = dst.End() - first;

  PxParallelForWorkers(
      rows, band, workers,
      [&](int begin, int end, int worker) {
        begin += first, end += first;
        Scratch& sc = scratch[worker];
        const int lo = row0[begin], hi = row1[end - 1];
        const size_t rows = static_cast<size_t>(hi - lo + 1);
        if (sc.work.size() < rows * stride) sc.work.resize(rows * stride);
        for (int r = lo; r <= hi; ++r) horizontal(src.Row[r], sc.work.data() + (r - lo) * stride);
        auto wrow = [&](int r) { return sc.work.data() + (r - lo) * stride; };
        sc.acc.resize(rowBytes);
        for (int j = begin; j < end; ++j) {
          uint8_t* d = dst.Row[j];
          if (interpV) {
            LerpRow(wrow(row0[j]), wrow(row1[j]), d, rowBytes, rowFrac[j]);
          } else if (row1[j] == row0[j]) {
            std::memcpy(d, wrow(row0[j]), stride);
          } else {
            uint32_t* acc = sc.acc.data();
            std::fill(acc, acc + rowBytes, 0u);
            for (int r = row0[j]; r <= row1[j]; ++r) AddRow(acc, wrow(r), rowBytes);
            DivideRow(acc, d, rowBytes, static_cast<uint32_t>(row1[j] - row0[j] + 1));
          }
        }
      },
      [&](int done) { report(static_cast<int>(static_cast<double>(done) / rows * share * 100.0)); });
}

void PxSourceRowsFor(TResampleFilter filter, int srcHeight, int dstHeight, int begin, int end,
                     int& first, int& last) {
  first = 0, last = srcHeight - 1;
  if (srcHeight <= 0 || dstHeight <= 0 || end <= begin) return;
  // Nearest and fast linear read about row y * scale and the next one; a
  // kernel centres on y * (srcHeight - 1) / (dstHeight - 1) (corners aligned)
  // and reaches its support, widened by that scale when reducing.
  const double scale = static_cast<double>(srcHeight) / dstHeight;
  const double corner = dstHeight > 1 ? static_cast<double>(srcHeight - 1) / (dstHeight - 1) : scale;
  const double low = std::min(scale, corner), high = std::max(scale, corner);
  const TPxKernelFilter* kernel = PxKernelFilter(filter);
  const double reach = (kernel ? kernel->Support + 1.0 : 1.0) * std::max(1.0, high) + 2.0;
  first = std::max(0, static_cast<int>(std::floor(begin * low - reach)));
  last = std::min(srcHeight - 1, static_cast<int>(std::ceil(end * high + reach)));
}

// ------------------------------------------------------------- area sampling

namespace {

struct TPiece {
  int Index;    // source pixel
  double Len;   // length inside it, in source pixels
  double Frac;  // where the piece starts inside the source pixel
};

// Cuts [start, end) at whole source pixels; a boundary within 0.0001 of the
// position counts as reached.
void CutPieces(double start, double end, int size, std::vector<TPiece>& out) {
  out.clear();
  const double eps = 0.0001;
  double pos = start;
  while (end - pos > eps) {
    double i = std::floor(pos);
    if (i + 1.0 - pos < eps) {
      i += 1.0;
      pos = i;
      if (end - pos <= eps) break;
    }
    double next = i + 1.0;
    double stop = next < end - eps ? next : end;
    int idx = static_cast<int>(std::clamp(i, 0.0, static_cast<double>(size - 1)));
    out.push_back({idx, stop - pos, std::max(0.0, pos - i)});
    pos = stop;
  }
}

double CubicWeight(double t) {
  t = std::fabs(t);
  if (t <= 1.0) return t * t * t - 2.0 * t * t + 1.0;
  if (t < 2.0) return -t * t * t + 5.0 * t * t - 8.0 * t + 4.0;
  return 0.0;
}

double Clamp255d(double v) { return v < 0.0 ? 0.0 : (v > 255.0 ? 255.0 : v); }

// Weights that add up to one in exact arithmetic may give 89.9999999 for a
// uniform 90 in doubles; truncation must not turn that into 89.
constexpr double kTruncSlack = 1e-7;

}  // namespace

void PxResampleArea(const TPxRows& src, const TPxRows& dst, bool bicubic, const TPxPercentFn& progress) {
  const int sw = src.Width, sh = src.Height, dw = dst.Width, dh = dst.Height;
  if (sw <= 0 || sh <= 0 || dw <= 0 || dh <= 0) return;
  const double gx = static_cast<double>(sw) / dw;
  const double gy = static_cast<double>(sh) / dh;
  const bool ix = gx < 1.0, iy = gy < 1.0;
  const double area = gx * gy;

  std::vector<std::vector<TPiece>> colPieces(dw);
  for (int x = 0; x < dw; ++x) CutPieces(x * gx, (x + 1) * gx, sw, colPieces[x]);

  auto px = [&](int x, int y, int ch) -> double {
    x = std::clamp(x, 0, sw - 1);
    y = std::clamp(y, 0, sh - 1);
    return src.Row[y][x * 3 + ch];
  };
  // Interpolated along one direction: `line(k)` reads neighbour k.
  auto interp1 = [&](auto line, int i, double t) -> double {
    if (!bicubic) return Clamp255d(line(i) * (1.0 - t) + line(i + 1) * t);
    double v = 0.0;
    for (int k = -1; k <= 2; ++k) v += line(i + k) * CubicWeight(t - k);
    return Clamp255d(v);
  };
  auto value = [&](int cx, double fx, int cy, double fy, int ch) -> double {
    if (!ix && !iy) return px(cx, cy, ch);
    if (ix && !iy) return interp1([&](int k) { return px(k, cy, ch); }, cx, fx);
    if (!ix && iy) return interp1([&](int k) { return px(cx, k, ch); }, cy, fy);
    if (!bicubic) {
      double top = px(cx, cy, ch) * (1.0 - fx) + px(cx + 1, cy, ch) * fx;
      double bottom = px(cx, cy + 1, ch) * (1.0 - fx) + px(cx + 1, cy + 1, ch) * fx;
      return Clamp255d(top * (1.0 - fy) + bottom * fy);
    }
    // The four row values are made whole before the vertical step.
    return interp1(
        [&](int k) { return std::trunc(interp1([&](int m) { return px(m, k, ch); }, cx, fx) + kTruncSlack); },
        cy, fy);
  };

  TPercentReporter report{progress};
  PxParallelFor(
      dh, 8,
      [&](int begin, int end) {
        std::vector<TPiece> rowPieces;
        for (int y = begin; y < end; ++y) {
          CutPieces(y * gy, (y + 1) * gy, sh, rowPieces);
          uint8_t* d = dst.Row[y];
          for (int x = 0; x < dw; ++x) {
            double acc[3] = {0.0, 0.0, 0.0};
            for (const TPiece& rp : rowPieces)
              for (const TPiece& cp : colPieces[x]) {
                const double a = cp.Len * rp.Len;
                for (int ch = 0; ch < 3; ++ch) acc[ch] += a * value(cp.Index, cp.Frac, rp.Index, rp.Frac, ch);
              }
            for (int ch = 0; ch < 3; ++ch)
              d[x * 3 + ch] = Clamp255(static_cast<int64_t>(acc[ch] / area + kTruncSlack));
          }
        }
      },
      [&](int done) { report(static_cast<int>(static_cast<double>(done) / dh * 100.0)); });
}

// ---------------------------------------------------------------- projections

namespace {

// Source blocks of the projections: destination index k covers source
// map[k - 1] .. map[k], index 0 only source 0.
void ProjectionSpan(const std::vector<int32_t>& map, int k, int& first, int& last) {
  first = k == 0 ? 0 : map[k - 1];
  last = k == 0 ? 0 : map[k];
}

std::vector<int32_t> ProjectionMap(int srcSize, int dstSize) {
  std::vector<int32_t> map(dstSize);
  const double r = static_cast<double>(srcSize) / dstSize;
  for (int k = 0; k < dstSize; ++k) map[k] = std::min(srcSize - 1, static_cast<int32_t>(r * k));
  return map;
}

// Shared by the 24-bit and the 1-bit projections: `hit(x, y)` tells whether
// a source pixel switches its destination pixel to the other colour.
template <typename Hit>
void Project(int sw, int sh, const TPxRows& dst, bool whiteWins, Hit hit, const TPxPercentFn& progress) {
  const int dw = dst.Width, dh = dst.Height;
  const std::vector<int32_t> cx = ProjectionMap(sw, dw);
  const std::vector<int32_t> cy = ProjectionMap(sh, dh);
  const uint8_t start = whiteWins ? 0 : 255;
  const uint8_t other = whiteWins ? 255 : 0;
  TPercentReporter report{progress};
  const double total = dh + 0.5;
  PxParallelFor(
      dh, 16,
      [&](int begin, int end) {
        for (int j = begin; j < end; ++j) {
          int y0, y1;
          ProjectionSpan(cy, j, y0, y1);
          uint8_t* d = dst.Row[j];
          std::memset(d, start, static_cast<size_t>(dw) * 3);
          for (int k = 0; k < dw; ++k) {
            int x0, x1;
            ProjectionSpan(cx, k, x0, x1);
            bool found = false;
            for (int y = y0; y <= y1 && !found; ++y)
              for (int x = x0; x <= x1 && !found; ++x) found = hit(x, y);
            if (found) std::memset(d + k * 3, other, 3);
          }
        }
      },
      [&](int done) { report(ProgressPercent(done, total)); });
}

inline bool Bit(const uint8_t* row, int x) { return (row[x >> 3] & (0x80 >> (x & 7))) != 0; }

}  // namespace

void PxResampleProject(const TPxRows& src, const TPxRows& dst, bool whiteWins,
                       const TPxPercentFn& progress) {
  if (src.Width <= 0 || src.Height <= 0 || dst.Width <= 0 || dst.Height <= 0) return;
  if (whiteWins) {
    Project(src.Width, src.Height, dst, true,
            [&](int x, int y) {
              const uint8_t* p = src.Row[y] + x * 3;
              return p[0] > 128 && p[1] > 128 && p[2] > 128;
            },
            progress);
  } else {
    Project(src.Width, src.Height, dst, false,
            [&](int x, int y) {
              const uint8_t* p = src.Row[y] + x * 3;
              return p[0] < 128 && p[1] < 128 && p[2] < 128;
            },
            progress);
  }
}

// ------------------------------------------------------------ 1-bit sources

void PxResample1Bit(const TPxRows& src, const TPxRows& dst, TResampleFilter filter,
                    const TPxPercentFn& progress) {
  const int sw = src.Width, sh = src.Height, dw = dst.Width, dh = dst.Height;
  if (sw <= 0 || sh <= 0 || dw <= 0 || dh <= 0) return;

  if (filter == rfProjectWB || filter == rfProjectBW) {
    const bool white = filter == rfProjectWB;
    Project(sw, sh, dst, white, [&](int x, int y) { return Bit(src.Row[y], x) == white; }, progress);
    return;
  }

  // The other methods work on the 0/255 values as one gray channel, then
  // write the result to all three channels.
  TScratchImage gray;
  gray.Allocate(sw, sh);
  TPxRows grayRows{sw, sh, std::vector<uint8_t*>(sh)};
  for (int y = 0; y < sh; ++y) {
    uint8_t* g = gray.Row(y);
    grayRows.Row[y] = g;
    for (int x = 0; x < sw; ++x) g[x] = Bit(src.Row[y], x) ? 255 : 0;
  }
  TScratchImage out;
  out.Allocate(dw, dh);
  TPxRows outRows{dw, dh, std::vector<uint8_t*>(dh)};
  for (int y = 0; y < dh; ++y) outRows.Row[y] = out.Row(y);

  if (PxKernelFilter(filter)) {
    PxResampleKernel(grayRows, outRows, 1, filter, progress);
  } else if (dw == sw && dh == sh) {
    for (int y = 0; y < dh; ++y) std::memcpy(outRows.Row[y], grayRows.Row[y], dw);
  } else if (dw > sw || dh > sh) {
    PxResampleFastLinear(grayRows, outRows, 1, progress, true);
  } else {
    // Reducing: the truncated average of the block around each pixel.
    const double ex = static_cast<double>(sw) / dw, ey = static_cast<double>(sh) / dh;
    auto span = [](int k, double g, int size, int& a, int& b) {
      a = std::clamp(static_cast<int>(k * g - g / 2), 0, size - 1);
      b = std::clamp(static_cast<int>(k * g + g / 2), a, size - 1);
    };
    std::vector<int> x0(dw), x1(dw);
    for (int x = 0; x < dw; ++x) span(x, ex, sw, x0[x], x1[x]);
    TPercentReporter report{progress};
    PxParallelFor(
        dh, 16,
        [&](int begin, int end) {
          for (int y = begin; y < end; ++y) {
            int y0, y1;
            span(y, ey, sh, y0, y1);
            for (int x = 0; x < dw; ++x) {
              int sum = 0;
              for (int yy = y0; yy <= y1; ++yy)
                for (int xx = x0[x]; xx <= x1[x]; ++xx) sum += grayRows.Row[yy][xx];
              outRows.Row[y][x] = static_cast<uint8_t>(sum / ((y1 - y0 + 1) * (x1[x] - x0[x] + 1)));
            }
          }
        },
        [&](int done) { report(ProgressPercent(done, dh + 0.5)); });
  }
  for (int y = 0; y < dh; ++y) {
    const uint8_t* g = outRows.Row[y];
    uint8_t* d = dst.Row[y];
    for (int x = 0; x < dw; ++x) d[x * 3] = d[x * 3 + 1] = d[x * 3 + 2] = g[x];
  }
}
