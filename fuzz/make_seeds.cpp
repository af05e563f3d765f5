// Writes the seed corpora of the fuzz targets with the library's own writers:
//   make-fuzz-seeds OUTFOLDER
// makes OUTFOLDER/jpeg/*.jpg and OUTFOLDER/png/*.png, small pictures of every
// pixel format and option the writers have (progressive, interlaced, palette,
// 16-bit, alpha, text, markers), so that the fuzzer starts deep in the codecs;
// OUTFOLDER/ccitt, fax strips of every coding, and OUTFOLDER/exif, EXIF blocks.
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "imaging/core/ioparams.h"
#include "imaging/core/pxprogress.h"
#include "imaging/core/pxstream.h"
#include "imaging/core/pxutils.h"
#include "imaging/formats/ccitt.h"
#include "imaging/formats/exif.h"
#include "imaging/formats/jpeg.h"
#include "imaging/formats/png.h"

namespace {

uint8_t Level(int x, int y, int channel) {
  uint32_t h =
      uint32_t(x) * 73856093u ^ uint32_t(y) * 19349663u ^ uint32_t(channel + 1) * 83492791u;
  h ^= h >> 13;
  return uint8_t((x * 9 + y * 5 + channel * 70 + int(h % 12)) & 0xFF);
}

// A picture of the given format with content across the format's range; a
// few colours only when `colours` is between 2 and 16.
bool Draw(TPxBitmap& b, int w, int h, TPxPixelFormat pf, int colours = 0) {
  if (!b.Allocate(w, h, pf)) return false;
  for (int y = 0; y < h; ++y) {
    uint8_t* row = b.Scanline(y);
    for (int x = 0; x < w; ++x) {
      switch (pf) {
        case px1g:
          if ((x + y) % 3 == 0)
            row[x >> 3] |= uint8_t(0x80 >> (x & 7));
          else
            row[x >> 3] &= uint8_t(~(0x80 >> (x & 7)));
          break;
        case px8g:
          row[x] = Level(x, y, 0);
          break;
        case px16g: {
          const uint16_t v = uint16_t(Level(x, y, 0) * 256 + Level(x, y, 1));
          row[2 * x] = uint8_t(v);
          row[2 * x + 1] = uint8_t(v >> 8);
          break;
        }
        case pxCMYK:
          for (int c = 0; c < 4; ++c) row[4 * x + c] = Level(x, y, c);
          break;
        default:
          for (int c = 0; c < 3; ++c) {
            const int v = Level(x, y, c);
            row[3 * x + c] =
                colours >= 2 ? uint8_t((v * colours / 256) * (255 / (colours - 1))) : uint8_t(v);
          }
          break;
      }
    }
  }
  return true;
}

bool Save(const std::filesystem::path& file, const TPxMemoryStream& stream, bool aborting) {
  if (aborting || stream.Data().empty()) {
    std::fprintf(stderr, "make-fuzz-seeds: %s could not be written\n", file.c_str());
    return false;
  }
  FILE* f = std::fopen(file.c_str(), "wb");
  if (!f) return false;
  const bool ok =
      std::fwrite(stream.Data().data(), 1, stream.Data().size(), f) == stream.Data().size();
  return std::fclose(f) == 0 && ok;
}

struct JpegSeed {
  const char* name;
  TPxPixelFormat format;
  int width, height;
  void (*options)(TIOParamsVals&);
};

const JpegSeed kJpegSeeds[] = {
    {"ycbcr", pxRGB24, 40, 24, [](TIOParamsVals&) {}},
    {"ycbcr-odd-size", pxRGB24, 17, 9, [](TIOParamsVals& p) { p.JpegQuality = 30; }},
    {"one-pixel", pxRGB24, 1, 1, [](TIOParamsVals&) {}},
    {"progressive", pxRGB24, 40, 24, [](TIOParamsVals& p) { p.JpegProgressive = true; }},
    {"progressive-gray", pxRGB24, 33, 20,
     [](TIOParamsVals& p) {
       p.JpegProgressive = true;
       p.JpegColorSpace = 1;
     }},
    {"gray", pxRGB24, 32, 32, [](TIOParamsVals& p) { p.JpegColorSpace = 1; }},
    {"rgb", pxRGB24, 24, 16, [](TIOParamsVals& p) { p.JpegColorSpace = 0; }},
    {"cmyk", pxCMYK, 24, 16, [](TIOParamsVals& p) { p.JpegColorSpace = 3; }},
    {"ycck", pxCMYK, 24, 16, [](TIOParamsVals& p) { p.JpegColorSpace = 4; }},
    {"progressive-cmyk", pxCMYK, 24, 16,
     [](TIOParamsVals& p) {
       p.JpegColorSpace = 3;
       p.JpegProgressive = true;
     }},
    {"optimal-huffman", pxRGB24, 40, 24,
     [](TIOParamsVals& p) {
       p.JpegOptimalHuffman = true;
       p.JpegQuality = 97;
     }},
    {"smoothed-float", pxRGB24, 40, 24,
     [](TIOParamsVals& p) {
       p.JpegSmoothing = 40;
       p.JpegDctMethod = 2;
     }},
    {"black-white", px1g, 32, 16, [](TIOParamsVals&) {}},
    {"markers", pxRGB24, 16, 16,
     [](TIOParamsVals& p) {
       p.MarkerList.push_back({254, std::vector<uint8_t>{'s', 'e', 'e', 'd'}});
       // EXIF: a little-endian TIFF block with one orientation tag.
       p.MarkerList.push_back(
           {225,
            std::vector<uint8_t>{'E',  'x', 'i', 'f', 0, 0, 'I', 'I', 42, 0, 8, 0, 0, 0, 1, 0,
                                 0x12, 1,   3,   0,   1, 0, 0,   0,   6,  0, 0, 0, 0, 0, 0, 0}});
       // An ICC profile in two pieces, "ICC_PROFILE\0", sequence, count, data.
       for (uint8_t seq = 1; seq <= 2; ++seq) {
         std::vector<uint8_t> piece{'I', 'C', 'C', '_', 'P', 'R', 'O',
                                    'F', 'I', 'L', 'E', 0,   seq, 2};
         piece.insert(piece.end(), 24, uint8_t(seq * 11));
         p.MarkerList.push_back({226, piece});
       }
       p.IPTCInfoList.Items.push_back({2, 120, "a caption"});
       p.IPTCInfoList.UserChanged = true;
       p.UpdateIPTCMarker();
     }},
};

struct PngSeed {
  const char* name;
  TPxPixelFormat format;
  int width, height;
  int colours;  // see Draw
  bool alpha;
  void (*options)(TIOParamsVals&);
};

const PngSeed kPngSeeds[] = {
    {"rgb", pxRGB24, 24, 16, 0, false, [](TIOParamsVals&) {}},
    {"rgb-interlaced", pxRGB24, 19, 13, 0, false, [](TIOParamsVals& p) { p.PngInterlaced = true; }},
    {"rgba", pxRGB24, 24, 16, 0, true, [](TIOParamsVals&) {}},
    {"rgba-interlaced", pxRGB24, 21, 11, 0, true, [](TIOParamsVals& p) { p.PngInterlaced = true; }},
    {"rgb-fast-sub", pxRGB24, 24, 16, 0, false,
     [](TIOParamsVals& p) {
       p.PngCompression = 1;
       p.PngFilter = 1;
     }},
    {"rgb-paeth-stored", pxRGB24, 16, 8, 0, false,
     [](TIOParamsVals& p) {
       p.PngCompression = 0;
       p.PngFilter = 2;
     }},
    {"gray8", px8g, 24, 16, 0, false, [](TIOParamsVals& p) { p.SamplesPerPixel = 1; }},
    {"gray-alpha", px8g, 16, 16, 0, true, [](TIOParamsVals& p) { p.SamplesPerPixel = 1; }},
    {"gray16", px16g, 16, 12, 0, false,
     [](TIOParamsVals& p) {
       p.SamplesPerPixel = 1;
       p.BitsPerSample = 16;
     }},
    {"gray16-interlaced", px16g, 13, 9, 0, false,
     [](TIOParamsVals& p) {
       p.SamplesPerPixel = 1;
       p.BitsPerSample = 16;
       p.PngInterlaced = true;
     }},
    {"palette8", pxRGB24, 24, 16, 0, false,
     [](TIOParamsVals& p) {
       p.SamplesPerPixel = 1;
       p.BitsPerSample = 8;
     }},
    {"palette4", pxRGB24, 24, 16, 12, false,
     [](TIOParamsVals& p) {
       p.SamplesPerPixel = 1;
       p.BitsPerSample = 4;
     }},
    {"palette2-interlaced", pxRGB24, 15, 15, 4, false,
     [](TIOParamsVals& p) {
       p.SamplesPerPixel = 1;
       p.BitsPerSample = 2;
       p.PngInterlaced = true;
     }},
    {"palette-alpha", pxRGB24, 24, 16, 8, true,
     [](TIOParamsVals& p) {
       p.SamplesPerPixel = 1;
       p.BitsPerSample = 8;
     }},
    {"two-colours", pxRGB24, 20, 10, 2, false,
     [](TIOParamsVals& p) {
       p.SamplesPerPixel = 1;
       p.BitsPerSample = 1;
     }},
    {"black-white", px1g, 33, 9, 0, false,
     [](TIOParamsVals& p) {
       p.SamplesPerPixel = 1;
       p.BitsPerSample = 1;
     }},
    {"text-background-dpi", pxRGB24, 12, 12, 0, true,
     [](TIOParamsVals& p) {
       p.PngTextKeys = {"Title", "Comment", "Software"};
       p.PngTextValues = {"seed", std::string(300, 'x'), "make-fuzz-seeds"};
       p.PngBackground = MakeBGR(10, 200, 30);
       p.SetDpi(150, 72);
     }},
};

// Fax code of every coding and bit order, each behind the four bytes that
// tell the fax target how to decode it (fuzz_read.h: PxFuzzFax).
struct FaxSeed {
  const char* name;
  TFaxCoding coding;
  bool lsbFirst, alignEol;
  int width, rows;
};

const FaxSeed kFaxSeeds[] = {
    {"mh", fcModifiedHuffman, false, false, 64, 24},
    {"mh-lsb-wide", fcModifiedHuffman, true, false, 1728, 6},
    {"g3-1d", fcGroup3_1D, false, false, 97, 20},
    {"g3-1d-fill-lsb", fcGroup3_1D, true, true, 200, 8},
    {"g3-2d", fcGroup3_2D, false, false, 120, 24},
    {"g3-2d-fill", fcGroup3_2D, false, true, 33, 12},
    {"g4", fcGroup4, false, false, 150, 30},
    {"g4-lsb-long-runs", fcGroup4, true, false, 2600, 4},
};

std::vector<uint8_t> FaxSeedBytes(const FaxSeed& s) {
  TFaxOptions o;
  o.Coding = s.coding;
  o.LsbFirst = s.lsbFirst;
  o.AlignEol = s.alignEol;
  o.Width = s.width;
  TPxBitmap bitmap;
  if (!bitmap.Allocate(s.width, s.rows, px1g)) return {};
  // Runs of many lengths: a growing black block, a comb, and white rows.
  for (int y = 0; y < s.rows; ++y) {
    uint8_t* row = bitmap.Scanline(y);
    for (int x = 0; x < s.width; ++x) {
      const bool black = y % 7 != 6 && ((x > y * 3 && x < y * 4 + 70) || x % (y + 2) == 0);
      if (black)
        row[x >> 3] &= uint8_t(~(0x80 >> (x & 7)));
      else
        row[x >> 3] |= uint8_t(0x80 >> (x & 7));
    }
  }
  TFaxEncoder encoder(o);
  for (int y = 0; y < s.rows; ++y) encoder.EncodeRow(bitmap.Scanline(y));
  encoder.EndStrip();
  const uint8_t mode = uint8_t(s.coding | (s.lsbFirst ? 4 : 0) | (s.alignEol ? 8 : 0));
  std::vector<uint8_t> bytes{mode, uint8_t((s.width - 1) >> 8), uint8_t(s.width - 1),
                             uint8_t(s.rows - 1)};
  bytes.insert(bytes.end(), encoder.Output().begin(), encoder.Output().end());
  return bytes;
}

// EXIF blocks of the library's writer, with every kind of value.
struct ExifSeed {
  const char* name;
  void (*values)(TIOParamsVals&);
};

const ExifSeed kExifSeeds[] = {
    {"plain", [](TIOParamsVals& p) { p.ExifOrientation = 1; }},
    {"camera",
     [](TIOParamsVals& p) {
       p.ExifMake = "Pictrova";
       p.ExifModel = "Seed One";
       p.ExifOrientation = 6;
       p.ExifDateTime = "2024:05:06 07:08:09";
       p.ExifDateTimeOriginal = "2024:05:06 07:08:09";
       p.ExifExposureTime = 1.0 / 250;
       p.ExifFNumber = 2.8;
       p.ExifExposureProgram = 2;
       p.ExifFocalLength = 35;
       p.ExifFlash = 16;
       p.ExifExifVersion = "0230";
       p.ExifPixelXDimension = 4000;
       p.ExifPixelYDimension = 3000;
       p.SetDpi(72, 72);
     }},
    {"every-value",
     [](TIOParamsVals& p) {
       p.ExifImageDescription = "a seed";
       p.ExifSoftware = "make-fuzz-seeds";
       p.ExifCopyright = "nobody";
       p.ExifOrientation = 8;
       p.ExifYCbCrPositioning = 1;
       p.ExifCompressedBitsPerPixel = 4;
       p.ExifShutterSpeedValue = 7.9;
       p.ExifApertureValue = 2.97;
       p.ExifBrightnessValue = -1.5;
       p.ExifExposureBiasValue = -0.3;
       p.ExifMaxApertureValue = 1.7;
       p.ExifSubjectDistance = 3.25;
       p.ExifMeteringMode = 5;
       p.ExifLightSource = 4;
       p.ExifUserComment = "a comment";
       p.ExifSubsecTime = "12";
       p.ExifSubsecTimeOriginal = "34";
       p.ExifSubsecTimeDigitized = "56";
       p.ExifFlashPixVersion = "0100";
       p.ExifColorSpace = 1;
       p.ExifRelatedSoundFile = "SND00001.WAV";
       p.ExifFocalPlaneXResolution = 4000.5;
       p.ExifFocalPlaneYResolution = 3000.25;
       p.ExifFocalPlaneResolutionUnit = 3;
       p.ExifExposureIndex = 100;
       p.ExifSensingMethod = 2;
       p.ExifFileSource = 3;
       p.ExifSceneType = 1;
       p.SetDpi(300, 150);
     }},
    {"maker-note",
     [](TIOParamsVals& p) {
       p.ExifMake = "Pictrova";
       // A note that is itself a directory, as many cameras write it.
       p.ExifMakerNote.Data = {2, 0, 1, 0, 3, 0, 1, 0, 0, 0, 7, 0, 0, 0, 2, 0,
                               2, 0, 6, 0, 0, 0, 30, 0, 0, 0, 0, 0, 0, 0, 's', 'e', 'e', 'd', 0, 0};
       p.ExifMakerNote.Directory = true;
       p.ExifUserCommentCode = std::string("UNICODE\0", 8);
       p.ExifUserComment = std::string("s\0e\0e\0d\0", 8);
     }},
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make-fuzz-seeds OUTFOLDER\n");
    return 2;
  }
  const std::filesystem::path out(argv[1]);
  std::filesystem::create_directories(out / "jpeg");
  std::filesystem::create_directories(out / "png");
  bool ok = true;
  for (const JpegSeed& s : kJpegSeeds) {
    TPxBitmap bitmap;
    TIOParamsVals params;
    s.options(params);
    bool aborting = !Draw(bitmap, s.width, s.height, s.format);
    TPxMemoryStream stream;
    TPxProgress progress;
    progress.Aborting = &aborting;
    if (!aborting) WriteJpegStream(stream, &bitmap, params, progress);
    ok = Save(out / "jpeg" / (std::string(s.name) + ".jpg"), stream, aborting) && ok;
  }
  for (const PngSeed& s : kPngSeeds) {
    TPxBitmap bitmap;
    TIOParamsVals params;
    s.options(params);
    bool aborting = !Draw(bitmap, s.width, s.height, s.format, s.colours);
    TPxMask mask;
    if (s.alpha && !aborting) {
      aborting = !mask.Allocate(s.width, s.height, 8);
      for (int y = 0; y < s.height && !aborting; ++y)
        for (int x = 0; x < s.width; ++x)
          mask.SetPixel(x, y, x < s.width / 3 ? 0 : (x * 40 + y) & 255);
      mask.Full = false;
    }
    TPxMemoryStream stream;
    TPxProgress progress;
    progress.Aborting = &aborting;
    if (!aborting) WritePngStream(stream, &bitmap, params, s.alpha ? &mask : nullptr, progress);
    ok = Save(out / "png" / (std::string(s.name) + ".png"), stream, aborting) && ok;
  }
  std::filesystem::create_directories(out / "ccitt");
  for (const FaxSeed& s : kFaxSeeds) {
    const std::vector<uint8_t> bytes = FaxSeedBytes(s);
    TPxMemoryStream stream(bytes.data(), bytes.size());
    ok = Save(out / "ccitt" / s.name, stream, bytes.empty()) && ok;
  }
  std::filesystem::create_directories(out / "exif");
  for (const ExifSeed& s : kExifSeeds) {
    TIOParamsVals params;
    s.values(params);
    params.HasExif = true;
    const std::vector<uint8_t> bytes = BuildExifBlock(params);
    TPxMemoryStream stream(bytes.data(), bytes.size());
    ok = Save(out / "exif" / s.name, stream, bytes.empty()) && ok;
  }
  return ok ? 0 : 1;
}
