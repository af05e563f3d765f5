// Windows bitmaps (BMP, DIB, RLE files).
#pragma once

#include "imaging/core/pxstream.h"

// The row's content test: more than a file header's 14 bytes, starting with "BM".
bool BmpContentTest(TPxStream& stream);
