// Library-wide constants of the imaging layer.
#pragma once

#include <cstdint>

// Resolution assumed when a file states none, dots per inch.
inline constexpr int32_t kDefaultDpi = 300;
