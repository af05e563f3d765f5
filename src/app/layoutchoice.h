// The clickable regions of the layout chooser picture "printouts.png", in
// picture pixels, edges inclusive, in hit-test order. Each name is also a
// section of "printouts.txt".
#pragma once

#include <cstdint>

struct XaLayoutRegion {
  const char* Name;
  int32_t Left, Top, Right, Bottom;
};

inline constexpr XaLayoutRegion kLayoutRegions[] = {
    {"8x10", 0, 50, 174, 179},
    {"2 5x7", 175, 50, 349, 179},
    {"5x7,4x6", 350, 50, 524, 179},
    {"2 4x6", 525, 50, 699, 179},
    {"2 4x6,3.5x5", 0, 180, 174, 324},
    {"2 3.5x5,1 4x6", 175, 180, 349, 324},
    {"3 3.5x5", 350, 180, 524, 324},
    {"4 3.5x5", 525, 180, 699, 324},
    {"4 2.5x3.25", 0, 325, 174, 469},
    {"9 wallets", 175, 325, 349, 469},
    {"6 wallets", 350, 325, 524, 469},
    {"5x7,3.5x5,2 wallets", 525, 325, 699, 469},
    {"4x6,3.5x5,2 wallets", 0, 470, 174, 620},
};

// The page the layouts are drawn for, in page pixels.
inline constexpr int32_t kPageWidth = 850;
inline constexpr int32_t kPageHeight = 1100;
