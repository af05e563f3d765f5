// Names in the order a person reads them: letters without regard to case,
// runs of digits by their value, so that "IMG_2" comes before "IMG_10".
// Shared by the folder tree and the lists of pictures.
#pragma once

#include <string_view>

// Negative, zero or positive as a sorts before, with or after b. Only names
// that are byte for byte equal compare equal: among names that read the
// same ("a" and "A", "7" and "07") the order is still fixed.
int PxCompareNames(std::string_view a, std::string_view b);

inline bool PxNameLess(std::string_view a, std::string_view b) {
  return PxCompareNames(a, b) < 0;
}
