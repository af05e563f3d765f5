#include "imaging/core/ioparams.h"

#include "imaging/core/imagingio.h"

TIOParamsVals::TIOParamsVals(TImagingIO* owner) : Owner(owner) {}

void TIOParamsVals::ResetAll() {
  TIOParamsVals fresh(Owner);
  // A property of the owning component that only lives here: not a file's value.
  fresh.NativePixelFormat = NativePixelFormat;
  *this = std::move(fresh);
  if (Owner) {
    TPxBitmap* bitmap = Owner->Bitmap();
    if (bitmap && !bitmap->IsEmpty()) {
      Width = bitmap->Width();
      Height = bitmap->Height();
    }
  }
}

void TIOParamsVals::ClearMetadata() {
  IPTCInfoList.Clear();
  MarkerList.clear();
  HasExif = false;
  ExifXResolution = DpiX;
  ExifYResolution = DpiY;
  ExifResolutionUnit = 2;
  ExifOrientation = 1;
  ExifTags.clear();
  ExifThumbnail.reset();
  PngTextKeys.clear();
  PngTextValues.clear();
  ColorProfile.clear();
}

void TIOParamsVals::SetDpiX(int32_t dpi) { SetDpi(dpi, DpiY); }

void TIOParamsVals::SetDpiY(int32_t dpi) { SetDpi(DpiX, dpi); }

void TIOParamsVals::SetDpi(int32_t dpiX, int32_t dpiY) {
  DpiX = dpiX;
  DpiY = dpiY;
  ExifXResolution = dpiX;
  ExifYResolution = dpiY;
  ExifResolutionUnit = 2;  // the values above are per inch
  if (Owner) Owner->ParamsDpiChanged();
}
