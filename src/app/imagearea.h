// The clickable rectangles of the layout chooser and their hit test.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// One clickable rectangle, in picture pixels; all four edges belong to it.
class XaImageArea {
 public:
  XaImageArea(int32_t left, int32_t top, int32_t right, int32_t bottom, std::string name)
      : Left(left), Top(top), Right(right), Bottom(bottom), Name(std::move(name)) {}

  bool Contains(int32_t x, int32_t y) const {
    return Left <= x && x <= Right && Top <= y && y <= Bottom;
  }

  int32_t Left, Top, Right, Bottom;
  std::string Name;
};

using XaImageAreas = std::vector<std::unique_ptr<XaImageArea>>;

// Index of the first region holding the point, in registration order; -1 if none.
inline int32_t HitImageArea(const XaImageAreas& regions, int32_t x, int32_t y) {
  for (size_t i = 0; i < regions.size(); ++i)
    if (regions[i]->Contains(x, y)) return static_cast<int32_t>(i);
  return -1;
}
