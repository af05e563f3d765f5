// Row-wise merging of two opaque layers: the fast path of layer merging.
//
// When neither layer has an alpha plane (or only one of 255 everywhere), both
// are fully opaque and the upper one replaces what it covers, every merged pixel is a plain copy of one of
// the layers, of the background or black. Whole runs of each are copied with
// memcpy instead of deciding (and blending) pixel by pixel; the result is the
// same as the general blend, which gives exactly those colours there.
#pragma once

#include <cstdint>
#include <functional>

#include "imaging/core/pxutils.h"

// One layer's part of a merged row: its 24-bit pixels on this row (nullptr
// when the row is above or below the layer) and its column range.
struct TPxMergeRowLayer {
  const uint8_t* Row = nullptr;
  int32_t Left = 0;
  int32_t Width = 0;
};

// Merges one row of width pixels: B over A where B is, A where only A is,
// `background` where neither layer's columns reach and black where only the
// other layer's columns do (that gap lies beside a layer that the row misses).
// outAlpha, when given, gets 255 under a layer and 0 elsewhere. Returns true
// when the whole row lies under a layer.
bool PxMergeOpaqueRow(const TPxMergeRowLayer& a, const TPxMergeRowLayer& b, int32_t width,
                      TBGR background, uint8_t* out, uint8_t* outAlpha);

// Whether every pixel of the width x height merge of the rectangles A and B
// (left, top, width, height each) lies under one of them.
bool PxMergeCoversAll(int32_t ax, int32_t ay, int32_t aw, int32_t ah, int32_t bx, int32_t by, int32_t bw,
                      int32_t bh, int32_t width, int32_t height);

// A layer of a whole merge: its rows by row index (24-bit, Width pixels) and
// its place on the merged bitmap.
struct TPxMergeLayer {
  std::function<const uint8_t*(int32_t y)> Row;
  int32_t Left = 0, Top = 0, Width = 0, Height = 0;
};

// Fills dest (already allocated as pxRGB24) with B over A, row by row, as the
// general merge does for opaque layers: dest gets an alpha plane (255 under a
// layer, 0 elsewhere) only when some pixel lies under neither layer. False
// when that alpha plane cannot be had.
bool PxMergeOpaqueLayers(const TPxMergeLayer& a, const TPxMergeLayer& b, TBGR background, TPxBitmap& dest);

// Whether every value of an alpha plane (px8g) is 255.
bool PxAlphaAllOpaque(TPxBitmap& alpha);

// Whether a 24-bit picture without transparency (no alpha plane, or one of
// 255 everywhere) has one colour only; that colour goes to `colour`.
bool PxUniformColour(TPxBitmap& bmp, TBGR& colour);

// The merge of an opaque layer over a sheet of one colour that holds it
// whole, done directly: dest becomes a width x height pxRGB24 canvas of
// `colour` with `picture` (24-bit, opaque) shown at fitWidth x fitHeight at
// (left, top). As the merge shows a layer at another size, the picture is
// resampled by nearest pixel (rfNone), straight into the canvas; at its own
// size its rows are copied. Every canvas byte is written once. False (dest
// untouched) when a bitmap is not in memory, the layer does not lie inside
// the canvas or memory fails; the caller then merges the general way.
bool PxPadOpaque(TPxBitmap& picture, int32_t fitWidth, int32_t fitHeight, int32_t left, int32_t top,
                 int32_t width, int32_t height, TBGR colour, TPxBitmap& dest);
