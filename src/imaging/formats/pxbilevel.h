// Black and white copies of pictures for the writers of 1-bit files.
#pragma once

#include "imaging/core/pxutils.h"

// A px1g copy of source (1 = white). A picture of exactly two colours keeps
// them apart: the darker one (by the gray weights, each gray rounded) becomes
// black, the other white; with equal grays the colour met first, reading rows
// from the top left, is black. Any other picture is converted as pxutils
// converts to px1g. dark and light receive the two colours (black and white
// unless the picture had exactly two). False when the copy cannot be made.
bool PxMakeBilevel(const TPxBitmap& source, TPxBitmap& out, TBGR& dark, TBGR& light);

// What a writer of 1-bit and 24-bit files writes from: the bilevel copy when
// bilevel (dark and light as PxMakeBilevel gives them), else the picture
// itself when it is pxRGB24, else a 24-bit copy. The copies go into work.
// Null when a copy cannot be made.
const TPxBitmap* PxWriterSource(const TPxBitmap& bitmap, bool bilevel, TPxBitmap& work, TBGR& dark,
                                TBGR& light);
