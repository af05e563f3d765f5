// Drawing of the application's pictures from the layout definitions: the
// layout chooser "printouts.png", the blank sheet and the empty-slot picture.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct TRgbPicture {
  int Width = 0, Height = 0;
  std::vector<uint8_t> Rgb;  // rows top-down, red, green, blue

  TRgbPicture() = default;
  TRgbPicture(int w, int h, uint32_t color);
  void Fill(int x1, int y1, int x2, int y2, uint32_t color);  // inclusive, clipped
  void Frame(int x1, int y1, int x2, int y2, uint32_t color);
  uint32_t At(int x, int y) const;
};

// Every layout of the chooser drawn to scale inside its clickable region, with its name.
TRgbPicture DrawLayoutChooser(const std::string& layoutFile);
TRgbPicture DrawBlankSheet();
TRgbPicture DrawEmptySlot();

// Writes or reads an 8-bit RGB PNG file; false on failure.
bool WriteRgbPng(const std::string& fileName, const TRgbPicture& picture);
bool ReadRgbPng(const std::string& fileName, TRgbPicture& picture);
