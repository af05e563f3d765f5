// Resampling kernels over raw rows: the filters of TImagingProc without any
// bitmap class, so that the row loops can be tested and reused on their own.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

enum TResampleFilter : uint8_t {
  rfNone = 0,
  rfTriangle = 1,
  rfHermite = 2,
  rfBell = 3,
  rfBSpline = 4,
  rfLanczos3 = 5,
  rfMitchell = 6,
  rfNearest = 7,
  rfLinear = 8,
  rfFastLinear = 9,
  rfBilinear = 10,
  rfBicubic = 11,
  rfProjectBW = 12,
  rfProjectWB = 13,
};

// The rows of an image, top row first. The pointers must stay valid and
// distinct for the whole call, since rows are processed on several threads.
// As a destination of the nearest, kernel and fast linear resamplings, only
// the rows BandBegin .. BandEnd - 1 are made (BandEnd < 0: to the last row),
// each as in the whole result; the source then needs only the rows that
// PxSourceRowsFor names, the others may be nullptr. A picture kept in a
// file is resampled that way, one band of rows in memory at a time.
struct TPxRows {
  int Width = 0;
  int Height = 0;
  std::vector<uint8_t*> Row;
  int BandBegin = 0;
  int BandEnd = -1;
  int End() const { return BandEnd < 0 ? Height : BandEnd; }
};

// The source rows first .. last that destination rows begin .. end - 1 read,
// for a resampling from srcHeight to dstHeight rows with the filter (rfNone,
// a kernel filter or rfFastLinear); a range that may be a little wider.
void PxSourceRowsFor(TResampleFilter filter, int srcHeight, int dstHeight, int begin, int end,
                     int& first, int& last);

// Called with a percentage, on the calling thread.
using TPxPercentFn = std::function<void(int)>;

// Entry of the kernel filter table (filters 1 to 8).
struct TPxKernelFilter {
  double (*Kernel)(double x);
  double Support;
};
// The table entry of a kernel filter, or nullptr for the other filters.
const TPxKernelFilter* PxKernelFilter(TResampleFilter filter);

// Weights of one direction of a kernel resampling: for destination index i
// the pairs Index[k], Weight[k] for k in Start[i] .. Start[i + 1] - 1, weights
// in 1/256 units, source indices mirrored at the edges and clamped.
struct TPxContributors {
  std::vector<int32_t> Start;
  std::vector<int32_t> Index;
  std::vector<int32_t> Weight;
  std::vector<int32_t> WeightSum;  // per destination index
};
TPxContributors PxBuildContributors(TResampleFilter filter, int srcSize, int dstSize);

// The vector paths give the same bytes as the plain loops; switching them off
// lets a test compare both.
extern bool PxResampleUseSimd;

// Nearest pixel for any pixel size (1, 8, 16, 24, 32 or 48 bits).
void PxResampleNearest(const TPxRows& src, const TPxRows& dst, int bitsPerPixel,
                       const TPxPercentFn& progress = {});
// Separable kernel resampling of 8-bit samples, `channels` (1 or 3) per pixel.
void PxResampleKernel(const TPxRows& src, const TPxRows& dst, int channels,
                      TResampleFilter filter, const TPxPercentFn& progress = {});
// Fast linear interpolation / box average of 8-bit samples. With
// `alwaysInterpolate` both directions interpolate even when reducing.
void PxResampleFastLinear(const TPxRows& src, const TPxRows& dst, int channels,
                          const TPxPercentFn& progress = {}, bool alwaysInterpolate = false);
// Area sampling of 24-bit pixels with bilinear or bicubic interpolation.
void PxResampleArea(const TPxRows& src, const TPxRows& dst, bool bicubic,
                    const TPxPercentFn& progress = {});
// Black (any dark pixel wins) or white (any light pixel wins) projection of
// 24-bit pixels.
void PxResampleProject(const TPxRows& src, const TPxRows& dst, bool whiteWins,
                       const TPxPercentFn& progress = {});
// A filtered resampling of a 1-bit source into 24-bit gray.
void PxResample1Bit(const TPxRows& src, const TPxRows& dst, TResampleFilter filter,
                    const TPxPercentFn& progress = {});
