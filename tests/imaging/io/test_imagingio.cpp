// The file input/output core: the format table, recognising formats, the load
// and save paths with their events and failures, stream headers, square pixels
// and background loads.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "imaging/io/imagingio.h"
#include "imaging/core/pxutils.h"
#include "util/testutil.h"

namespace {

std::unique_ptr<TPxBitmap> Picture(int w, int h) {
  auto b = std::make_unique<TPxBitmap>();
  EXPECT_TRUE(b->Allocate(w, h, pxRGB24));
  for (int y = 0; y < h; ++y) {
    uint8_t* row = b->Scanline(y);
    for (int x = 0; x < w; ++x) {
      row[3 * x] = static_cast<uint8_t>(x * 5);
      row[3 * x + 1] = static_cast<uint8_t>(y * 3);
      row[3 * x + 2] = static_cast<uint8_t>(x ^ y);
    }
  }
  return b;
}

// Writes a PNG of the given size and resolution and returns its bytes.
std::string PngBytes(int w, int h, int dpiX = 300, int dpiY = 300, bool withAlpha = false) {
  auto pic = Picture(w, h);
  if (withAlpha) {
    // Opacity falls by 5 per row.
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) pic->Alpha(x, y, static_cast<uint8_t>(255 - 5 * y));
  }
  TImagingIO io;
  io.SetTargetBitmap(pic.get());
  io.Params.SetDpi(dpiX, dpiY);
  TPxMemoryStream s;
  io.SaveToStream(s, ioPNG);
  EXPECT_FALSE(io.Aborting);
  return std::string(s.Data().begin(), s.Data().end());
}

// --- Image parameters -----------------------------------------------------------

TEST(IOParams, ResetAllRestoresTheDefaultsAndTakesTheAttachedImageSize) {
  auto pic = Picture(33, 21);
  TImagingIO io;
  io.SetTargetBitmap(pic.get());
  TIOParamsVals& p = io.Params;
  p.BitsPerSample = 16;
  p.SamplesPerPixel = 1;
  p.SetDpi(72, 96);
  p.FileType = ioPNG;
  p.FileName = "x.png";
  p.JpegQuality = 12;
  p.JpegScale = 0;
  p.PngCompression = 9;
  p.PngInterlaced = true;
  p.MarkerList.push_back({225, {1, 2, 3}});
  p.ResetAll();
  EXPECT_EQ(p.Owner, &io);
  EXPECT_EQ(p.BitsPerSample, 8);
  EXPECT_EQ(p.SamplesPerPixel, 3);
  EXPECT_EQ(p.DpiX, 300);
  EXPECT_EQ(p.DpiY, 300);
  EXPECT_EQ(p.FileType, 0);
  EXPECT_EQ(p.FileName, "");
  EXPECT_EQ(p.Width, 33);
  EXPECT_EQ(p.Height, 21);
  EXPECT_EQ(p.JpegColorSpace, 2);
  EXPECT_EQ(p.JpegQuality, 80);
  EXPECT_EQ(p.JpegScale, 1);
  EXPECT_EQ(p.PngCompression, 5);
  EXPECT_EQ(p.PngFilter, 0);
  EXPECT_FALSE(p.PngInterlaced);
  EXPECT_TRUE(p.MarkerList.empty());
  // Without an image the wished size is 0.
  TImagingIO empty;
  empty.Params.Width = 5;
  empty.Params.ResetAll();
  EXPECT_EQ(empty.Params.Width, 0);
}

TEST(IOParams, ResolutionKeepsExifAndViewInStepAndMetadataClears) {
  struct View : TPxIOViewLink {
    TPxBitmap b;
    int x = 0, y = 0;
    TPxBitmap* IOBitmap() override { return &b; }
    void IOImageChanged(bool) override {}
    void IOSetDpi(int32_t dx, int32_t dy) override { x = dx, y = dy; }
    uint32_t IOBackground() override { return 0; }
    void IOSetBackground(uint32_t) override {}
  } view;
  TImagingIO io;
  io.SetAttachedView(&view);
  io.Params.SetDpiX(150);
  io.Params.SetDpiY(75);
  EXPECT_EQ(view.x, 150);
  EXPECT_EQ(view.y, 75);
  EXPECT_EQ(io.Params.ExifXResolution, 150.0);
  EXPECT_EQ(io.Params.ExifYResolution, 75.0);

  io.Params.HasExif = true;
  io.Params.PngTextKeys = {"k"};
  io.Params.PngTextValues = {"v"};
  io.Params.IPTCInfoList.Items.push_back({2, 5, "title"});
  io.Params.ColorProfile = {1, 2};
  io.Params.ExifThumbnail = std::make_shared<TPxBitmap>();
  io.Params.ClearMetadata();
  EXPECT_FALSE(io.Params.HasExif);
  EXPECT_TRUE(io.Params.PngTextKeys.empty());
  EXPECT_TRUE(io.Params.PngTextValues.empty());
  EXPECT_TRUE(io.Params.IPTCInfoList.Items.empty());
  EXPECT_TRUE(io.Params.ColorProfile.empty());
  EXPECT_EQ(io.Params.ExifThumbnail, nullptr);
  EXPECT_EQ(io.Params.DpiX, 150);  // not metadata
}

// --- Format table -------------------------------------------------------------

TEST(FormatTable, LookupsByExtensionFollowTableOrder) {
  struct Case {
    const char* extension;
    int32_t type;
  } cases[] = {
      {"JPG", ioJPEG}, {".jpeg", ioJPEG}, {"jpe", ioJPEG}, {"tif", ioTIFF}, {".G3F", ioTIFF},
      {"pix", ioTGA},  {"PXM", ioPXM},    {"pbm", ioPXM},  {"wbmp", ioWBMP}, {"dcr", ioRAW},
      {"eps", ioPS},   {"pdf", ioPDF},    {"dcx", ioDCX},  {"j2c", ioJ2K},   {"jp2", ioJP2},
      {"avi", 0},      {"", 0},           {".", 0},        {"xyz", 0},       {"win", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.extension);
    const TPxFileFormat* f = PxFindFileFormatByExtension(c.extension);
    EXPECT_EQ(f ? f->FileType : 0, c.type);
  }
}

TEST(FormatTable, RowsByTypeWithNamesExtensionsAndAbilities) {
  struct Case {
    int32_t type;
    const char* name;
    int extensions;
    const char* second;  // the extension at index 1, lower case
    bool read, write;
    uint16_t page;
  } cases[] = {
      {ioTIFF, "TIFF Bitmap", 5, "tiff", true, true, 8},
      {ioJPEG, "JPEG Bitmap", 3, "jpeg", true, true, 4},
      {ioCUR, "Windows Cursor", 1, "", true, false, 0},
      {ioPNG, "Portable Network Graphics", 1, "", true, true, 128},
      {ioPXM, "Portable Pixmap, GrayMap, BitMap", 4, "ppm", true, true, 0},
      {ioJ2K, "JPEG2000 Code Stream", 3, "jpc", true, true, 512},
      {ioPS, "PostScript Level 2", 2, "eps", false, true, 0},
      {ioPDF, "Adobe PDF", 1, "", false, true, 0},
      {ioRAW, "Camera RAW", 12, "cr2", true, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const TPxFileFormat* f = PxFindFileFormat(c.type);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->FullName, c.name);
    EXPECT_EQ(PxGetFileExtensionCount(c.type), c.extensions);
    EXPECT_EQ(PxGetFileExtension(c.type, 1), c.second);
    EXPECT_EQ(static_cast<bool>(f->ReadFunction), c.read);
    EXPECT_EQ(static_cast<bool>(f->WriteFunction), c.write);
    EXPECT_EQ(f->DialogPage, c.page);
  }
  EXPECT_EQ(PxFindFileFormat(ioAVI), nullptr);  // a video, not in the table
  EXPECT_EQ(PxFindFileFormat(0), nullptr);
  EXPECT_EQ(PxGetFileExtension(ioPNG, 1), "");
  EXPECT_EQ(PxGetFileExtension(ioPNG, -1), "");
  // Wireless Bitmap (16) stands before the JPEG 2000 rows (13, 14).
  const auto& table = PxFileFormats();
  ASSERT_GE(table.size(), 19u);
  EXPECT_EQ(table[12].FileType, ioWBMP);
  EXPECT_EQ(table[13].FileType, ioJP2);
  EXPECT_EQ(table[18].FileType, ioRAW);
}

TEST(FormatTable, BuiltInCodecsCarryTheirWholeRow) {
  struct Case {
    int32_t type;
    const char* tag;
    bool keepsAlpha;
    std::vector<TPxPixelFormat> takes;
  } cases[] = {
      {ioJPEG, "JFIF", false, {px1g, pxRGB24}},
      {ioPNG, "", true, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    const TPxFileFormat* f = PxFindFileFormat(c.type);
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(f->ReadFunction && f->WriteFunction && f->TestFunction && f->Describe);
    EXPECT_EQ(f->StreamTag, c.tag);
    EXPECT_EQ(f->WriteKeepsAlpha, c.keepsAlpha);
    EXPECT_EQ(f->WritePixelFormats, c.takes);
  }
  // The PNG row's own read and write, called as the core calls them: the
  // transparency goes into the alpha plane and back.
  TPxBitmap b(3, 2, pxRGB24);
  b.Fill(0.5);
  b.AlphaChannel()->Fill(0);
  b.Alpha(1, 1, 200);
  TIOParamsVals params;
  TPxMemoryStream s;
  bool aborting = false;
  TPxProgress progress;
  progress.Aborting = &aborting;
  const TPxFileFormat* png = PxFindFileFormat(ioPNG);
  png->WriteFunction(s, &b, params, progress);
  ASSERT_FALSE(aborting);
  s.SetPosition(0);
  EXPECT_TRUE(png->TestFunction(s));
  TPxBitmap back;
  png->ReadFunction(s, &back, params, false, progress);
  ASSERT_FALSE(aborting);
  ASSERT_TRUE(back.HasAlphaChannel());
  EXPECT_EQ(back.Alpha(1, 1), 200);
  EXPECT_EQ(back.Alpha(0, 0), 0);
}

TEST(FormatTable, IsKnownFormatNeedsAReadableRowForTheExtension) {
  struct Case {
    const char* name;
    bool known;
  } cases[] = {
      {"holiday.JPG", true},      {"a/b/scan.tiff", true}, {"x.png", true},   {"icon.cur", true},
      {"pic.pix", true},          {"print.PS", false},     {"doc.pdf", false}, {"clip.avi", false},
      {"README", false},          {"folder.png/file", false}, {"name.", false}, {"a.jpg.bak", false},
      {"/tmp/.png", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(IsKnownFormat(c.name), c.known);
  }
}

// --- Recognising formats from content -------------------------------------------

std::string Bytes(std::initializer_list<int> head, size_t size) {
  std::string s(size, '\x11');
  size_t i = 0;
  for (int b : head) s[i++] = static_cast<char>(b);
  return s;
}

std::string Text(const char* head, size_t size) {
  std::string s(size, '\x11');
  std::memcpy(s.data(), head, std::strlen(head) + 1);  // with its zero byte
  return s;
}

struct ContentCase {
  const char* name;
  std::string bytes;
  int32_t type;
};

std::vector<ContentCase> ContentCases() {
  std::string jpegAt50 = Bytes({}, 300);
  jpegAt50.replace(50, 3, "\xFF\xD8\xFF");
  std::string jpegAt150 = Bytes({}, 300);
  jpegAt150.replace(150, 3, "\xFF\xD8\xFF");
  std::string riff = Bytes({}, 40);
  riff.replace(0, 4, "RIFF");
  riff.replace(8, 4, "AVI ");
  std::string wave = riff;
  wave.replace(8, 4, "WAVE");
  std::string png = PngBytes(3, 2);
  return {
      {"jfif_stream_header", Text("JFIF", 13), ioJPEG},
      {"jfif_too_short", Text("JFIF", 12), 0},
      {"gif", Bytes({'G', 'I', 'F', '8', '9', 'a'}, 14), ioGIF},
      {"gif_too_short", Bytes({'G', 'I', 'F', '8', '9', 'a'}, 13), 0},
      {"pcx_stream_header", Text("PCX2", 13), ioPCX},
      {"pcx_tag", Text("PCX", 5), ioPCX},
      {"bmp", Bytes({'B', 'M'}, 15), ioBMP},
      {"bmp_too_short", Bytes({'B', 'M'}, 14), 0},
      {"pcx_header", Bytes({10, 5}, 129), ioPCX},
      {"pcx_header_bad_version", Bytes({10, 6}, 129), 0},
      {"pcx_header_too_short", Bytes({10, 5}, 128), 0},
      {"tiff_stream_header", Text("TIFF", 13), ioTIFF},
      {"tiff_intel", Bytes({'I', 'I', 42, 0, 8, 0, 0, 0}, 20), ioTIFF},
      {"tiff_intel_offset_past_end", Bytes({'I', 'I', 42, 0, 20, 0, 0, 0}, 20), 0},
      {"tiff_motorola", Bytes({'M', 'M', 0, 42, 0, 0, 0, 8, 0}, 20), ioTIFF},
      {"tiff_motorola_ba", Bytes({'M', 'M', 0, 42, 0, 0, 0, 8, 0xBA}, 20), 0},
      {"png", png, ioPNG},
      {"png_signature_only", png.substr(0, 8), 0},
      {"jpeg_after_50_bytes", jpegAt50, ioJPEG},
      {"jpeg_after_150_bytes", jpegAt150, 0},
      {"avi", riff, ioAVI},
      {"riff_not_avi", wave, 0},
      {"nothing_known", Bytes({1, 2, 3, 4}, 500), 0},
      {"empty", "", 0},
  };
}

TEST(DetectStreamType, ContentTestsInOrderFromTheCurrentPosition) {
  for (const ContentCase& c : ContentCases()) {
    SCOPED_TRACE(c.name);
    TPxMemoryStream at0(c.bytes.data(), c.bytes.size());
    EXPECT_EQ(TImagingIO::DetectStreamType(at0), c.type);
    EXPECT_EQ(at0.Position(), 0);
    // The same content behind other data: tests read from the position, which stays.
    std::string shifted = "prefix" + c.bytes;
    TPxMemoryStream at6(shifted.data(), shifted.size());
    at6.SetPosition(6);
    EXPECT_EQ(TImagingIO::DetectStreamType(at6), c.type);
    EXPECT_EQ(at6.Position(), 6);
  }
}

TEST(DetectFileType, ExtensionVerificationAndCameraRaw) {
  testutil::TempDir dir;
  const std::string png = PngBytes(4, 4);
  const std::string tiff = Bytes({'I', 'I', 42, 0, 8, 0, 0, 0}, 64);
  struct Case {
    const char* file;
    const std::string* content;
    int32_t plain, verified;
  } cases[] = {
      {"a.png", &png, ioPNG, ioPNG},      {"a.jpg", &png, ioPNG, 0},
      {"a.xyz", &png, ioPNG, 0},          {"noext", &png, ioPNG, 0},
      {"shot.nef", &tiff, ioRAW, ioRAW},  {"scan.tif", &tiff, ioTIFF, ioTIFF},
      {"scan.png", &tiff, ioTIFF, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    std::string name = dir.File(c.file);
    testutil::WriteFileBytes(name, *c.content);
    EXPECT_EQ(TImagingIO::DetectFileType(name, false), c.plain);
    EXPECT_EQ(TImagingIO::DetectFileType(name, true), c.verified);
  }
  EXPECT_EQ(TImagingIO::DetectFileType("", false), 0);
  EXPECT_EQ(TImagingIO::DetectFileType(dir.File("missing.png"), false), 0);
}

// --- Loading by name, by content and parameters only ---------------------------

TEST(ImagingIO, PngNamedJpgLoadsOnlyByContent) {
  testutil::TempDir dir;
  const std::string name = dir.File("photo.jpg");
  testutil::WriteFileBytes(name, PngBytes(9, 5));

  TImagingIO byName;
  byName.LoadFromFile(name);
  EXPECT_TRUE(byName.Aborting);  // the JPEG reader finds no JPEG

  TImagingIO byContent;
  byContent.LoadFromFileAuto(name);
  EXPECT_FALSE(byContent.Aborting);
  EXPECT_EQ(byContent.Bitmap()->Width(), 9);
  EXPECT_EQ(byContent.Bitmap()->Height(), 5);
  EXPECT_EQ(byContent.Params.FileType, ioPNG);
  EXPECT_EQ(byContent.Params.FileName, name);

  TImagingIO params;
  params.ReadParamsFromFile(name);
  EXPECT_EQ(params.Params.FileType, 0);
}

TEST(ImagingIO, ReadParamsFillsParamsAndLeavesTheBitmap) {
  testutil::TempDir dir;
  const std::string first = dir.File("first.png"), second = dir.File("second.png");
  testutil::WriteFileBytes(first, PngBytes(6, 4));
  testutil::WriteFileBytes(second, PngBytes(30, 20, 200, 100));
  TImagingIO io;
  io.LoadFromFile(first);
  ASSERT_FALSE(io.Aborting);
  io.ReadParamsFromFile(second);
  EXPECT_FALSE(io.Aborting);
  EXPECT_EQ(io.Params.FileType, ioPNG);
  EXPECT_EQ(io.Params.FileName, second);
  EXPECT_EQ(io.Params.Width, 30);
  EXPECT_EQ(io.Params.Height, 20);
  EXPECT_EQ(io.Params.DpiX, 200);
  EXPECT_EQ(io.Params.DpiY, 100);
  EXPECT_EQ(io.Params.BitsPerSample, 8);
  EXPECT_EQ(io.Params.SamplesPerPixel, 3);
  EXPECT_EQ(io.Bitmap()->Width(), 6);
  EXPECT_EQ(io.Bitmap()->Height(), 4);

  // A stream likewise, its position kept.
  std::string bytes = "xx" + PngBytes(7, 3);
  TPxMemoryStream s(bytes.data(), bytes.size());
  s.SetPosition(2);
  io.ReadParamsFromStream(s);
  EXPECT_EQ(io.Params.FileType, ioPNG);
  EXPECT_EQ(io.Params.Width, 7);
  EXPECT_EQ(s.Position(), 2);

  // Missing or unreadable files give FileType 0 and no exception.
  EXPECT_NO_THROW(io.ReadParamsFromFile(dir.File("missing.png")));
  EXPECT_EQ(io.Params.FileType, 0);
  EXPECT_NO_THROW(io.ReadParamsFromFileAsType(dir.File("missing.png"), ioPNG));
  EXPECT_EQ(io.Params.FileType, 0);
}

TEST(ImagingIO, LowResolutionIsReplacedByTheDefault) {
  TImagingIO io;
  std::string bytes = PngBytes(4, 4, 1, 1);  // about one dot per inch in the file
  TPxMemoryStream s(bytes.data(), bytes.size());
  io.LoadFromStream(s);
  ASSERT_FALSE(io.Aborting);
  EXPECT_EQ(io.Params.DpiX, 300);
  EXPECT_EQ(io.Params.DpiY, 300);
}

// --- End-of-work events ---------------------------------------------------------

struct EventCase {
  const char* name;
  const char* file;         // created in the folder unless empty
  const char* content;      // "png" for a valid picture, else the bytes
  bool save;                // SaveToFile instead of LoadFromFile
  bool fails;
};

class EndOfWork : public ::testing::TestWithParam<EventCase> {};

TEST_P(EndOfWork, ProgressOneHundredThenFinishExactlyOnce) {
  const EventCase& c = GetParam();
  testutil::TempDir dir;
  std::string name;
  if (std::string(c.file).rfind("http", 0) == 0) {
    name = c.file;
  } else if (*c.file) {
    name = dir.File(c.file);
    if (!c.save)
      testutil::WriteFileBytes(name, std::string(c.content) == "png" ? PngBytes(5, 5) : c.content);
  }
  auto pic = Picture(5, 5);
  TImagingIO io;
  io.SetTargetBitmap(pic.get());
  std::vector<std::string> events;
  io.OnProgress = [&](TImagingIO* sender, int per) {
    EXPECT_EQ(sender, &io);
    if (per == 100) events.push_back("100");
  };
  io.OnFinishWork = [&](TImagingIO* sender) {
    EXPECT_EQ(sender, &io);
    events.push_back("finish");
  };
  if (c.save) io.SaveToFile(name);
  else io.LoadFromFile(name);
  EXPECT_EQ(io.Aborting, c.fails);
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ(events.back(), "finish");
  EXPECT_EQ(std::count(events.begin(), events.end(), "finish"), 1);
  EXPECT_EQ(events[events.size() - 2], "100");
}

const EventCase kEventCases[] = {
    {"load_png", "ok.png", "png", false, false},
    {"save_png", "out.png", "", true, false},
    {"empty_name", "", "", false, true},
    {"web_address", "http://example.com/pic.png", "", false, true},
    {"unknown_extension", "pic.xyz", "png", false, true},
    {"targa_row_without_reader", "pic.pix", "png", false, true},
    {"postscript_has_no_reader", "pic.ps", "png", false, true},
    {"damaged_png", "bad.png", "\x89PNG\r\n\x1a\nbroken", false, true},
    {"bmp_garbage", "bad.bmp", "garbage", false, true},
    {"save_unknown_extension", "out.xyz", "", true, true},
    {"save_cursor_has_no_writer", "out.cur", "", true, true},
};

INSTANTIATE_TEST_SUITE_P(Calls, EndOfWork, ::testing::ValuesIn(kEventCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ImagingIO, FileThatCannotBeOpenedThrowsAfterTheEvents) {
  testutil::TempDir dir;
  struct Case {
    const char* name;
    std::string file;
    int call;  // 0 LoadFromFile, 1 LoadFromFileAuto, 2 SaveToFile, 3 LoadFromFileAsType
  } cases[] = {
      {"load", dir.File("missing.png"), 0},
      {"auto", dir.File("missing.png"), 1},
      {"save", dir.File("no/folder/out.png"), 2},
      {"as_type", dir.File("missing.jpg"), 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TImagingIO io;
    auto pic = Picture(3, 3);
    io.SetTargetBitmap(pic.get());
    int finished = 0;
    io.OnFinishWork = [&](TImagingIO*) { ++finished; };
    try {
      if (c.call == 0) io.LoadFromFile(c.file);
      if (c.call == 1) io.LoadFromFileAuto(c.file);
      if (c.call == 2) io.SaveToFile(c.file);
      if (c.call == 3) io.LoadFromFileAsType(c.file, ioJPEG);
      ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
      std::string what = e.what();
      EXPECT_NE(what.find(c.file), std::string::npos) << what;
      EXPECT_NE(what.find(std::strerror(ENOENT)), std::string::npos) << what;
      EXPECT_EQ(finished, 1);
      EXPECT_TRUE(io.Aborting);
    }
  }
}

// --- Stream headers ---------------------------------------------------------------

TEST(StreamHeaders, JpegStreamCarriesTagZerosAndLength) {
  auto pic = Picture(16, 8);
  TImagingIO io;
  io.SetTargetBitmap(pic.get());
  io.StreamHeaders = true;
  TPxMemoryStream s;
  s.WriteExact("0123456", 7);  // the image goes at position 7
  io.SaveToStream(s, ioJPEG);
  ASSERT_FALSE(io.Aborting);
  const std::vector<uint8_t>& d = s.Data();
  EXPECT_EQ(s.Position(), s.Size());  // left at the end of the image data
  ASSERT_GT(d.size(), 7u + 12u);
  EXPECT_EQ(std::string(d.begin() + 7, d.begin() + 11), "JFIF");
  EXPECT_EQ(std::string(d.begin() + 11, d.begin() + 15), std::string(4, '\0'));
  const uint32_t count = d[15] | (d[16] << 8) | (d[17] << 16) | (uint32_t(d[18]) << 24);
  EXPECT_EQ(count, d.size() - 7 - 12);
  EXPECT_EQ(d[19], 0xFF);
  EXPECT_EQ(d[20], 0xD8);

  // Read back from position 7: recognised by the tag, then positioned just past
  // the counted bytes even when more data follows.
  s.Seek(0, soEnd);
  s.WriteExact("trailer", 7);
  s.SetPosition(7);
  TImagingIO reader;
  reader.StreamHeaders = true;
  EXPECT_EQ(TImagingIO::DetectStreamType(s), ioJPEG);
  reader.LoadFromStream(s);
  ASSERT_FALSE(reader.Aborting);
  EXPECT_EQ(reader.Bitmap()->Width(), 16);
  EXPECT_EQ(reader.Bitmap()->Height(), 8);
  EXPECT_EQ(s.Position(), static_cast<int64_t>(7 + 12 + count));
}

TEST(StreamHeaders, PngStreamsAndFilesGetNone) {
  testutil::TempDir dir;
  auto pic = Picture(4, 4);
  TImagingIO io;
  io.SetTargetBitmap(pic.get());
  io.StreamHeaders = true;
  TPxMemoryStream s;
  io.SaveToStream(s, ioPNG);
  ASSERT_FALSE(io.Aborting);
  EXPECT_EQ(s.Data()[0], 0x89);
  EXPECT_EQ(s.Data()[1], 'P');
  io.SaveToFile(dir.File("a.jpg"));
  ASSERT_FALSE(io.Aborting);
  std::string file = testutil::ReadFileBytes(dir.File("a.jpg"));
  EXPECT_EQ(static_cast<uint8_t>(file[0]), 0xFF);
  EXPECT_EQ(static_cast<uint8_t>(file[1]), 0xD8);
}

// --- Saving -----------------------------------------------------------------------

TEST(ImagingIO, JpegSaveConvertsTheImageItselfPngDoesNot) {
  testutil::TempDir dir;
  struct Case {
    const char* file;
    TPxPixelFormat after;
  } cases[] = {{"gray.jpg", pxRGB24}, {"gray.png", px8g}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    TPxBitmap gray;
    ASSERT_TRUE(gray.Allocate(8, 8, px8g));
    gray.Fill(128);
    TImagingIO io;
    io.SetTargetBitmap(&gray);
    io.SaveToFile(dir.File(c.file));
    EXPECT_FALSE(io.Aborting);
    EXPECT_EQ(gray.PixelFormat(), c.after);
  }
}

TEST(ImagingIO, TransparencyLandsOnWhiteWhereTheFormatKeepsNone) {
  testutil::TempDir dir;
  TPxBitmap black;
  ASSERT_TRUE(black.Allocate(48, 16, pxRGB24));
  black.Fill(0);
  // Columns 0-15 transparent, 16-31 half covered, 32-47 opaque.
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 32; ++x) black.Alpha(x, y, x < 16 ? 0 : 128);
  TImagingIO io;
  io.SetTargetBitmap(&black);
  io.Params.JpegQuality = 100;
  io.SaveToFile(dir.File("flat.jpg"));
  ASSERT_FALSE(io.Aborting);
  EXPECT_TRUE(black.HasAlphaChannel());  // the picture itself keeps its transparency
  EXPECT_EQ(black.Alpha(0, 0), 0);

  TImagingIO back;
  back.LoadFromFile(dir.File("flat.jpg"));
  ASSERT_FALSE(back.Aborting);
  const uint8_t* row = back.Bitmap()->Scanline(8);
  EXPECT_NEAR(row[3 * 4], 255, 3);
  EXPECT_NEAR(row[3 * 24 + 1], 127, 3);  // 127 parts of white in 255
  EXPECT_NEAR(row[3 * 40 + 2], 0, 3);

  io.SaveToFile(dir.File("kept.png"));  // PNG keeps the plane as it is
  TImagingIO png;
  png.LoadFromFile(dir.File("kept.png"));
  ASSERT_FALSE(png.Aborting);
  EXPECT_EQ(png.Bitmap()->Alpha(4, 8), 0);
  EXPECT_EQ(png.Bitmap()->Alpha(24, 8), 128);
}

TEST(ImagingIO, EveryReadDescribesItsOwnPicture) {
  // A gray JPEG's description must not survive into the read of a colour PNG
  // (the next JPEG written would be gray).
  testutil::TempDir dir;
  TPxBitmap gray;
  ASSERT_TRUE(gray.Allocate(8, 8, pxRGB24));
  gray.Fill(90);
  TImagingIO w;
  w.SetTargetBitmap(&gray);
  w.Params.JpegColorSpace = 1;
  w.SaveToFile(dir.File("gray.jpg"));
  w.Params.SamplesPerPixel = 1;
  w.Params.BitsPerSample = 4;
  w.SaveToFile(dir.File("palette.png"));
  auto colour = Picture(8, 8);
  TImagingIO c;
  c.SetTargetBitmap(colour.get());
  c.SaveToFile(dir.File("colour.png"));

  TImagingIO io;
  io.LoadFromFile(dir.File("gray.jpg"));
  EXPECT_EQ(io.Params.JpegColorSpace, 1);
  io.LoadFromFile(dir.File("palette.png"));
  EXPECT_EQ(io.Params.SamplesPerPixel, 1);
  io.LoadFromFile(dir.File("colour.png"));
  EXPECT_EQ(io.Params.JpegColorSpace, 2);
  EXPECT_EQ(io.Params.SamplesPerPixel, 3);
  EXPECT_EQ(io.Params.BitsPerSample, 8);
  EXPECT_TRUE(io.Params.ColorMap.empty());
  io.Params.JpegQuality = 55;  // what the program chose stays
  io.ReadParamsFromFile(dir.File("gray.jpg"));
  io.ReadParamsFromFile(dir.File("colour.png"));
  EXPECT_EQ(io.Params.JpegColorSpace, 2);
  EXPECT_EQ(io.Params.JpegQuality, 55);
}

TEST(ImagingIO, JpegSaveCarriesTheIptcRecordsInApp13) {
  testutil::TempDir dir;
  auto pic = Picture(16, 16);
  TImagingIO io;
  io.SetTargetBitmap(pic.get());
  io.Params.IPTCInfoList.Items = {{2, 5, "Holiday"}, {2, 120, "Two of us"}};
  const std::string file = dir.File("iptc.jpg");
  io.SaveToFile(file);
  ASSERT_FALSE(io.Aborting);
  ASSERT_EQ(io.Params.MarkerList.size(), 1u);
  EXPECT_EQ(io.Params.MarkerList[0].Type, 237);
  if (testutil::HaveTool("/usr/bin/identify")) {
    // ImageMagick finds the records where Photoshop puts them.
    auto r = testutil::RunCommand("/usr/bin/identify -format '%[IPTC:2:5]|%[IPTC:2:120]' '" + file + "'");
    EXPECT_EQ(r.output, "Holiday|Two of us");
  }

  struct Case {
    const char* name;
    std::vector<TPxIPTCInfo> items;
    bool userChanged;
    std::vector<TPxMarker> markers;
    std::vector<uint8_t> expectedTypes;
    bool app13Replaced;
  } cases[] = {
      // Records kept from a file stand as they are unless the user changed them.
      {"kept", {{2, 5, "New"}}, false, {{225, {1}}, {237, {9, 9}}}, {225, 237}, false},
      {"changed", {{2, 5, "New"}}, true, {{225, {1}}, {237, {9, 9}}}, {225, 237}, true},
      {"emptied", {}, true, {{225, {1}}, {237, {9, 9}}}, {225}, false},
      {"nothing", {}, false, {{237, {9, 9}}}, {237}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TIOParamsVals p;
    p.IPTCInfoList.Items = c.items;
    p.IPTCInfoList.UserChanged = c.userChanged;
    p.MarkerList = c.markers;
    p.UpdateIPTCMarker();
    std::vector<uint8_t> types;
    for (const TPxMarker& m : p.MarkerList) types.push_back(m.Type);
    EXPECT_EQ(types, c.expectedTypes);
    for (const TPxMarker& m : p.MarkerList) {
      if (m.Type == 237) {
        EXPECT_EQ(m.Data == p.IPTCInfoList.EncodeAPP13(), c.app13Replaced);
      }
    }
  }
}

TEST(ImagingIO, JpegLoadReadsTheIptcRecordsBack) {
  testutil::TempDir dir;
  auto pic = Picture(16, 16);
  const std::vector<TPxIPTCInfo> records = {{2, 5, "Holiday"}, {2, 25, "sea"}, {2, 25, "sand"}};
  TImagingIO io;
  io.SetTargetBitmap(pic.get());
  io.Params.IPTCInfoList.Items = records;
  const std::string file = dir.File("iptc.jpg");
  io.SaveToFile(file);
  ASSERT_FALSE(io.Aborting);
  for (bool paramsOnly : {false, true}) {
    SCOPED_TRACE(paramsOnly);
    TImagingIO back;
    if (paramsOnly) back.ReadParamsFromFile(file);
    else back.LoadFromFile(file);
    ASSERT_EQ(back.Params.FileType, ioJPEG);
    const auto& items = back.Params.IPTCInfoList.Items;
    ASSERT_EQ(items.size(), records.size());
    for (size_t i = 0; i < items.size(); ++i) {
      EXPECT_EQ(items[i].Record, records[i].Record);
      EXPECT_EQ(items[i].DataSet, records[i].DataSet);
      EXPECT_EQ(items[i].Value, records[i].Value);
    }
  }
}

TEST(IOParams, DamagedApp13GivesTheRecordsBeforeTheDamage) {
  TPxIPTCInfoList list;
  list.Items = {{2, 5, "Title"}, {2, 120, "A caption"}};
  const std::vector<uint8_t> good = list.EncodeAPP13();
  // 14 signature + 12 resource header, then 5 + 5 and 5 + 9 bytes of records.
  ASSERT_EQ(good.size(), 14u + 12 + 10 + 14);
  struct Case {
    const char* name;
    std::vector<uint8_t> data;
    bool found;
    size_t records;
  };
  std::vector<Case> cases = {
      {"whole", good, true, 2},
      {"cut_in_second_record", std::vector<uint8_t>(good.begin(), good.end() - 3), true, 1},
      {"not_photoshop", std::vector<uint8_t>(good.begin() + 1, good.end()), false, 0},
      {"empty", {}, false, 0},
  };
  std::vector<uint8_t> longRecord = good;
  longRecord[14 + 12 + 10 + 3] = 0x7F;  // second record claims more than the resource holds
  cases.push_back({"record_longer_than_resource", longRecord, true, 1});
  std::vector<uint8_t> hugeResource = good;
  hugeResource[14 + 8] = 0xFF;  // resource size far beyond the data
  cases.push_back({"resource_longer_than_data", hugeResource, true, 2});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TPxIPTCInfoList out;
    EXPECT_EQ(out.DecodeAPP13(c.data), c.found);
    EXPECT_EQ(out.Items.size(), c.records);
  }
}

// --- Square pixels ----------------------------------------------------------------

TEST(AutoAdjustDPI, MakesPixelsSquareByTheLargerResolution) {
  struct Case {
    int w, h, dpiX, dpiY;
    int newW, newH, newDpiX, newDpiY;
  } cases[] = {
      {100, 50, 300, 150, 100, 100, 300, 300},
      {50, 100, 150, 300, 100, 100, 300, 300},
      {60, 90, 300, 200, 40, 90, 200, 200},
      {40, 30, 72, 72, 40, 30, 72, 72},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h));
    std::string bytes = PngBytes(c.w, c.h, c.dpiX, c.dpiY);
    auto original = Picture(c.w, c.h);
    TImagingIO io;
    io.AutoAdjustDPI = true;
    TPxMemoryStream s(bytes.data(), bytes.size());
    io.LoadFromStream(s);
    ASSERT_FALSE(io.Aborting);
    TPxBitmap& b = *io.Bitmap();
    EXPECT_EQ(b.Width(), c.newW);
    EXPECT_EQ(b.Height(), c.newH);
    EXPECT_EQ(io.Params.DpiX, c.newDpiX);
    EXPECT_EQ(io.Params.DpiY, c.newDpiY);
    EXPECT_EQ(io.Params.Width, c.newW);
    EXPECT_EQ(io.Params.Height, c.newH);
    // Nearest pixels, no filter: every pixel comes from source (x * w / w', y * h / h').
    ASSERT_TRUE(b.HasAlphaChannel());
    EXPECT_EQ(b.AlphaChannel()->Width(), c.newW);
    bool same = true;
    for (int y = 0; y < b.Height() && same; ++y)
      for (int x = 0; x < b.Width(); ++x) {
        const uint8_t* p = b.Scanline(y) + 3 * x;
        const uint8_t* q = original->Scanline(y * c.h / c.newH) + 3 * (x * c.w / c.newW);
        if (std::memcmp(p, q, 3) != 0) {
          same = false;
          ADD_FAILURE() << "pixel " << x << "," << y;
          break;
        }
      }
  }
}

TEST(AutoAdjustDPI, FilteredAdjustmentInterpolatesInColour) {
  std::string bytes = PngBytes(100, 50, 300, 150, true);
  TImagingIO io;
  io.AutoAdjustDPI = true;
  io.FilteredAdjustDPI = true;
  TPxMemoryStream s(bytes.data(), bytes.size());
  io.LoadFromStream(s);
  ASSERT_FALSE(io.Aborting);
  TPxBitmap& b = *io.Bitmap();
  ASSERT_EQ(b.Width(), 100);
  ASSERT_EQ(b.Height(), 100);
  EXPECT_EQ(b.PixelFormat(), pxRGB24);
  EXPECT_EQ(io.Params.DpiY, 300);
  // Blue is constant down each column (5 per column, left of where it wraps)
  // and stays within a neighbour's step of it; green grows with the row (3 per
  // source row) and, interpolated, grows smoothly: steps of at most 3.
  int previousGreen = -1;
  for (int y = 0; y < b.Height(); ++y) {
    const uint8_t* row = b.Scanline(y);
    for (int x = 0; x < 50; ++x) ASSERT_NEAR(row[3 * x], x * 5, 5) << x << "," << y;
    const int green = row[1];
    if (previousGreen >= 0) {
      EXPECT_GE(green, previousGreen);
      EXPECT_LE(green - previousGreen, 3);
    }
    previousGreen = green;
  }
  // The alpha plane is resized without a filter: row y has source row y / 2's value.
  ASSERT_TRUE(b.HasAlphaChannel());
  for (int y = 0; y < b.Height(); ++y)
    for (int x = 0; x < b.Width(); x += 9) ASSERT_EQ(b.Alpha(x, y), 255 - 5 * (y / 2)) << x << "," << y;
}

// --- Views, targets and background loads -------------------------------------------

class FakeView : public TPxIOViewLink {
 public:
  TPxBitmap bitmap;
  std::atomic<int> changed{0}, changedFromWorker{0};
  int dpiX = 0, dpiY = 0;
  uint32_t background = 0x123456;
  TPxBitmap* IOBitmap() override { return &bitmap; }
  void IOImageChanged(bool fromWorker) override { (fromWorker ? changedFromWorker : changed)++; }
  void IOSetDpi(int32_t x, int32_t y) override {
    dpiX = x;
    dpiY = y;
  }
  uint32_t IOBackground() override { return background; }
  void IOSetBackground(uint32_t c) override { background = c; }
};

TEST(ImagingIO, AttachedViewGetsTheImageResolutionAndRefresh) {
  std::string bytes = PngBytes(12, 6, 150, 75);
  FakeView view;
  TImagingIO io;
  io.SetAttachedView(&view);
  EXPECT_FALSE(io.OwnsBitmap());
  EXPECT_EQ(io.Bitmap(), &view.bitmap);
  EXPECT_EQ(io.Background(), 0x123456u);
  TPxMemoryStream s(bytes.data(), bytes.size());
  io.LoadFromStream(s);
  ASSERT_FALSE(io.Aborting);
  EXPECT_EQ(view.bitmap.Width(), 12);
  EXPECT_EQ(view.dpiX, 150);
  EXPECT_EQ(view.dpiY, 75);
  EXPECT_EQ(view.changed, 1);
  EXPECT_EQ(view.changedFromWorker, 0);
  // Detaching gives the component a bitmap of its own again.
  io.SetAttachedView(nullptr);
  EXPECT_TRUE(io.OwnsBitmap());
  EXPECT_NE(io.Bitmap(), &view.bitmap);
}

TEST(ImagingIO, BackgroundLoadsRunOnWorkersAndAreWaitedFor) {
  testutil::TempDir dir;
  const std::string name = dir.File("big.png");
  testutil::WriteFileBytes(name, PngBytes(300, 200));
  const std::thread::id caller = std::this_thread::get_id();

  // A bitmap of its own: the load runs on the calling thread.
  {
    TImagingIO io;
    io.RunInBackground = true;
    std::thread::id finishedOn;
    io.OnFinishWork = [&](TImagingIO*) { finishedOn = std::this_thread::get_id(); };
    io.LoadFromFile(name);
    EXPECT_EQ(finishedOn, caller);
    EXPECT_EQ(io.Bitmap()->Width(), 300);
  }
  // Outside targets: each load on a worker; the destructor waits for them.
  constexpr int kLoads = 4;
  std::vector<TPxBitmap> targets(kLoads);
  std::atomic<int> finished{0}, onWorker{0};
  {
    std::vector<std::unique_ptr<TImagingIO>> ios;
    for (int i = 0; i < kLoads; ++i) {
      auto io = std::make_unique<TImagingIO>();
      io->SetTargetBitmap(&targets[i]);
      io->RunInBackground = true;
      io->OnFinishWork = [&, p = io.get()](TImagingIO*) {
        if (std::this_thread::get_id() != caller && p->IsWorkerThread()) onWorker++;
        finished++;
      };
      io->LoadFromFile(name);
      ios.push_back(std::move(io));
    }
    ios[0]->WaitForWorkers(false);
    EXPECT_EQ(ios[0]->WorkerCount(), 0);
    EXPECT_EQ(targets[0].Width(), 300);
  }
  EXPECT_EQ(finished, kLoads);
  EXPECT_EQ(onWorker, kLoads);
  for (TPxBitmap& t : targets) {
    EXPECT_EQ(t.Width(), 300);
    EXPECT_EQ(t.Height(), 200);
  }
  // Saves go to a worker the same way.
  {
    TImagingIO io;
    io.SetTargetBitmap(&targets[0]);
    io.RunInBackground = true;
    std::atomic<bool> savedOnWorker{false};
    io.OnFinishWork = [&](TImagingIO* sender) { savedOnWorker = sender->IsWorkerThread(); };
    io.SaveToFile(dir.File("copy.png"));
    io.WaitForWorkers(false);
    EXPECT_TRUE(savedOnWorker);
    EXPECT_FALSE(io.Aborting);
  }
  TImagingIO check;
  check.LoadFromFile(dir.File("copy.png"));
  EXPECT_FALSE(check.Aborting);
  EXPECT_EQ(check.Bitmap()->Width(), 300);
  // A view served in the background is told the change came from a worker.
  FakeView view;
  {
    TImagingIO io;
    io.SetAttachedView(&view);
    io.RunInBackground = true;
    io.LoadFromFile(name);
    io.WaitForWorkers(false);
  }
  EXPECT_EQ(view.changedFromWorker, 1);
  EXPECT_EQ(view.bitmap.Width(), 300);
}

// Threads of this process now, from the system's own list.
int ThreadCount() {
  int n = 0;
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/task")) {
    (void)e;
    ++n;
  }
  return n;
}

TEST(ImagingIO, WorkersAreJoinedNotLeftRunning) {
  testutil::TempDir dir;
  const std::string name = dir.File("big.png");
  testutil::WriteFileBytes(name, PngBytes(300, 200));
  const int before = ThreadCount();
  TPxBitmap target;
  TImagingIO io;
  io.SetTargetBitmap(&target);
  io.RunInBackground = true;
  for (int i = 0; i < 3; ++i) {
    io.LoadFromFile(name);
    io.WaitForWorkers(false);
    // Once waited for, no thread of the load is still alive.
    EXPECT_EQ(ThreadCount(), before);
  }
  // Loads started one after the other without waiting for the component:
  // the next hand-off or the component's end joins the ones that ended. (Two
  // loads into one bitmap at once would race: each starts when the last one
  // has left the worker list.)
  {
    TPxBitmap t2;  // outlives the component that loads into it
    TImagingIO second;
    second.SetTargetBitmap(&t2);
    second.RunInBackground = true;
    second.LoadFromFile(name);
    while (second.WorkerCount() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    second.LoadFromFile(name);
  }
  EXPECT_EQ(ThreadCount(), before);
  EXPECT_EQ(target.Width(), 300);
}

// --- Rows added by an extension of the library -------------------------------------

TEST(FormatTable, RegisteredRowIsTestedFirstAndCalledByExtension) {
  static std::atomic<int> reads{0};
  static bool registered = false;
  if (!registered) {
    registered = true;
    TPxFileFormat f;
    f.FileType = 100;
    f.FullName = "Test Format";
    f.Extensions = "PXT;PXTEST";
    f.ReadFunction = [](TPxStream&, TPxBitmap* b, TIOParamsVals& p, bool paramsOnly, TPxProgress&) {
      reads++;
      p.Width = 2;
      p.Height = 3;
      if (!paramsOnly) b->Allocate(2, 3, pxRGB24);
    };
    f.TestFunction = [](TPxStream& s) {
      char head[6];
      return s.ReadExact(head, 6) && std::memcmp(head, "PXTEST", 6) == 0;
    };
    PxRegisterFileFormat(std::move(f));
  }
  // The row's own content test wins before the built-in ones ("BM..." would be BMP).
  std::string data = "PXTEST" + std::string(20, 'B');
  TPxMemoryStream s(data.data(), data.size());
  EXPECT_EQ(TImagingIO::DetectStreamType(s), 100);
  EXPECT_TRUE(IsKnownFormat("x.pxtest"));

  testutil::TempDir dir;
  testutil::WriteFileBytes(dir.File("a.pxt"), data);
  TImagingIO io;
  io.LoadFromFile(dir.File("a.pxt"));
  EXPECT_FALSE(io.Aborting);
  EXPECT_EQ(io.Bitmap()->Height(), 3);
  EXPECT_EQ(io.Params.FileType, 100);
  io.ReadParamsFromFile(dir.File("a.pxt"));
  EXPECT_EQ(io.Params.FileType, 100);
  EXPECT_EQ(reads, 2);
  // No write function: saving by that extension fails cleanly.
  io.SaveToFile(dir.File("b.pxt"));
  EXPECT_TRUE(io.Aborting);
}

}  // namespace
