#include "layoutpicture.h"

#include <png.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>

#include "app/layout.h"
#include "app/layoutchoice.h"

TRgbPicture::TRgbPicture(int w, int h, uint32_t color) : Width(w), Height(h), Rgb(size_t(w) * h * 3) {
  Fill(0, 0, w - 1, h - 1, color);
}

void TRgbPicture::Fill(int x1, int y1, int x2, int y2, uint32_t color) {
  x1 = std::max(x1, 0), y1 = std::max(y1, 0);
  x2 = std::min(x2, Width - 1), y2 = std::min(y2, Height - 1);
  for (int y = y1; y <= y2; ++y) {
    uint8_t* p = Rgb.data() + (size_t(y) * Width + x1) * 3;
    for (int x = x1; x <= x2; ++x, p += 3) {
      p[0] = uint8_t(color >> 16), p[1] = uint8_t(color >> 8), p[2] = uint8_t(color);
    }
  }
}

void TRgbPicture::Frame(int x1, int y1, int x2, int y2, uint32_t color) {
  Fill(x1, y1, x2, y1, color);
  Fill(x1, y2, x2, y2, color);
  Fill(x1, y1, x1, y2, color);
  Fill(x2, y1, x2, y2, color);
}

uint32_t TRgbPicture::At(int x, int y) const {
  const uint8_t* p = Rgb.data() + (size_t(y) * Width + x) * 3;
  return uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
}

namespace {

constexpr uint32_t kBackground = 0xE4E8EE;
constexpr uint32_t kSheet = 0xFFFFFF;
constexpr uint32_t kSheetEdge = 0x7A8494;
constexpr uint32_t kArea = 0xB8CDE8;
constexpr uint32_t kAreaEdge = 0x2E5A8C;
constexpr uint32_t kText = 0x1C2430;

// A 5 x 7 pixel font for the characters of the layout names and the title.
const std::map<char, const char*>& Glyphs() {
  static const std::map<char, const char*> glyphs = {
      {'0', "01110100011001110101110011000101110"}, {'1', "00100011000010000100001000010001110"},
      {'2', "01110100010000100010001000100011111"}, {'3', "11111000100010000010000011000101110"},
      {'4', "00010001100101010010111110001000010"}, {'5', "11111100001111000001000011000101110"},
      {'6', "00110010001000011110100011000101110"}, {'7', "11111000010001000100010000100001000"},
      {'8', "01110100011000101110100011000101110"}, {'9', "01110100011000101111000010001001100"},
      {'x', "00000000001000101010001000101010001"}, {',', "00000000000000000000011000010001000"},
      {'.', "00000000000000000000000000110001100"}, {' ', "00000000000000000000000000000000000"},
      {'a', "00000000000111000001011111000101111"}, {'c', "00000000000111010000100001000101110"},
      {'e', "00000000000111010001111111000001110"}, {'i', "00100000000110000100001000010001110"},
      {'k', "10000100001001010100110001010010010"}, {'l', "01100001000010000100001000010001110"},
      {'n', "00000000001011011001100011000110001"}, {'o', "00000000000111010001100011000101110"},
      {'s', "00000000000111110000011100000111110"}, {'t', "01000010001110001000010000100100110"},
      {'u', "00000000001000110001100011001101101"}, {'w', "00000000001000110001101011010101010"},
      {'y', "00000000001000110001011110000101110"}, {'C', "01110100011000010000100001000101110"},
  };
  return glyphs;
}

int TextWidth(const std::string& text, int scale) { return int(text.size()) * 6 * scale - scale; }

void DrawText(TRgbPicture& pic, int x, int y, const std::string& text, int scale, uint32_t color) {
  for (char ch : text) {
    auto it = Glyphs().find(ch);
    const char* g = it == Glyphs().end() ? Glyphs().at(' ') : it->second;
    for (int row = 0; row < 7; ++row)
      for (int col = 0; col < 5; ++col)
        if (g[row * 5 + col] == '1')
          pic.Fill(x + col * scale, y + row * scale, x + col * scale + scale - 1,
                   y + row * scale + scale - 1, color);
    x += 6 * scale;
  }
}

void DrawLayout(TRgbPicture& pic, const XaLayoutRegion& region, const std::string& layoutFile) {
  constexpr int kLabelHeight = 14;
  const int regionW = region.Right - region.Left + 1;
  const int regionH = region.Bottom - region.Top + 1;
  // The sheet keeps its proportions inside the region, above the name.
  const double scale = double(regionH - kLabelHeight - 10) / kPageHeight;
  const int sheetW = int(kPageWidth * scale), sheetH = int(kPageHeight * scale);
  const int sx = region.Left + (regionW - sheetW) / 2, sy = region.Top + 4;
  pic.Fill(sx + 2, sy + 2, sx + sheetW + 1, sy + sheetH + 1, 0xB4BCC8);  // shadow
  pic.Fill(sx, sy, sx + sheetW - 1, sy + sheetH - 1, kSheet);
  pic.Frame(sx, sy, sx + sheetW - 1, sy + sheetH - 1, kSheetEdge);
  ReadLayoutAreas(layoutFile, region.Name, [&](std::unique_ptr<XaLayoutArea> a) {
    const int x1 = sx + int(a->Left * scale), y1 = sy + int(a->Top * scale);
    const int x2 = sx + int((a->Left + a->Width) * scale) - 1;
    const int y2 = sy + int((a->Top + a->Height) * scale) - 1;
    pic.Fill(x1, y1, x2, y2, kArea);
    pic.Frame(x1, y1, x2, y2, kAreaEdge);
  });
  const std::string name = region.Name;
  DrawText(pic, region.Left + (regionW - TextWidth(name, 1)) / 2, sy + sheetH + 6, name, 1, kText);
}

}  // namespace

TRgbPicture DrawLayoutChooser(const std::string& layoutFile) {
  const auto& last = kLayoutRegions[std::size(kLayoutRegions) - 1];
  TRgbPicture pic(700, last.Bottom + 1, kBackground);
  const std::string title = "Click on a layout";
  DrawText(pic, (pic.Width - TextWidth(title, 3)) / 2, 14, title, 3, kText);
  for (const auto& region : kLayoutRegions) DrawLayout(pic, region, layoutFile);
  return pic;
}

TRgbPicture DrawBlankSheet() { return TRgbPicture(kPageWidth, kPageHeight, kSheet); }

TRgbPicture DrawEmptySlot() {
  constexpr int kSize = 300;
  TRgbPicture pic(kSize, kSize, 0xEEF3FA);
  // A dashed frame and a plus sign: the picture stretches over any area.
  for (int i = 0; i < kSize; i += 20) {
    pic.Fill(i, 0, i + 11, 5, 0x8AA6C8);
    pic.Fill(i, kSize - 6, i + 11, kSize - 1, 0x8AA6C8);
    pic.Fill(0, i, 5, i + 11, 0x8AA6C8);
    pic.Fill(kSize - 6, i, kSize - 1, i + 11, 0x8AA6C8);
  }
  pic.Fill(kSize / 2 - 8, kSize / 2 - 60, kSize / 2 + 7, kSize / 2 + 59, 0x9DB5D3);
  pic.Fill(kSize / 2 - 60, kSize / 2 - 8, kSize / 2 + 59, kSize / 2 + 7, 0x9DB5D3);
  return pic;
}

bool WriteRgbPng(const std::string& fileName, const TRgbPicture& picture) {
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  image.width = png_uint_32(picture.Width);
  image.height = png_uint_32(picture.Height);
  image.format = PNG_FORMAT_RGB;
  return png_image_write_to_file(&image, fileName.c_str(), 0, picture.Rgb.data(), 0, nullptr) != 0;
}

bool ReadRgbPng(const std::string& fileName, TRgbPicture& picture) {
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, fileName.c_str())) return false;
  image.format = PNG_FORMAT_RGB;
  picture = TRgbPicture(int(image.width), int(image.height), 0);
  bool ok = png_image_finish_read(&image, nullptr, picture.Rgb.data(), 0, nullptr) != 0;
  png_image_free(&image);
  return ok;
}
