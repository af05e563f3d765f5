// Page layouts: the areas of a layout read from the layout definitions file.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

// One picture slot of the current layout, in page pixels (100 to the inch).
class XaLayoutArea {
 public:
  XaLayoutArea(std::string name, int32_t left, int32_t top, int32_t width, int32_t height)
      : Name(std::move(name)), Left(left), Top(top), Width(width), Height(height) {}

  std::string Name;
  std::string FileName;  // picture placed in the area; empty until one is dropped
  bool Rotated = false;  // the placement turned the picture a quarter turn
  int32_t Left, Top, Width, Height;
};

// A malformed area line: the message names the file, the line number and the text.
class XaLayoutError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Page pixels per file unit: file coordinates run from 0 to about 100,000 across the sheet.
inline constexpr int32_t kLayoutUnitsX = 118;
inline constexpr int32_t kLayoutUnitsY = 91;

// Reads the layout `name` from layoutFile and hands each of its areas, in file
// order, to addArea. Areas delivered before a malformed line stay delivered.
void ReadLayoutAreas(const std::string& layoutFile, const std::string& name,
                     const std::function<void(std::unique_ptr<XaLayoutArea>)>& addArea);
