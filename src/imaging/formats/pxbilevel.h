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
