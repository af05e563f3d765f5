#include "browse/pxnames.h"

#include <cstddef>

namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// ASCII letters only: names are UTF-8 and other bytes keep their byte order,
// which is the code point order.
unsigned char Fold(char c) {
  const auto u = static_cast<unsigned char>(c);
  return (u >= 'A' && u <= 'Z') ? static_cast<unsigned char>(u - 'A' + 'a') : u;
}

// Compares the digit runs starting at a[i] and b[j] by value, however long
// (no integer conversion, so no overflow), and moves both past their runs.
// leadingZeros records the first difference in zero padding, for ties.
int CompareNumbers(std::string_view a, size_t& i, std::string_view b, size_t& j,
                   int& leadingZeros) {
  size_t za = i, zb = j;
  while (za < a.size() && a[za] == '0') ++za;
  while (zb < b.size() && b[zb] == '0') ++zb;
  size_t ea = za, eb = zb;
  while (ea < a.size() && IsDigit(a[ea])) ++ea;
  while (eb < b.size() && IsDigit(b[eb])) ++eb;
  const size_t la = ea - za, lb = eb - zb;
  int result = 0;
  if (la != lb) {
    result = la < lb ? -1 : 1;
  } else {
    for (size_t k = 0; k < la && result == 0; ++k)
      if (a[za + k] != b[zb + k]) result = a[za + k] < b[zb + k] ? -1 : 1;
  }
  if (result == 0 && leadingZeros == 0 && (za - i) != (zb - j))
    leadingZeros = (za - i) < (zb - j) ? -1 : 1;  // "7" before "07"
  i = ea;
  j = eb;
  return result;
}

}  // namespace

int PxCompareNames(std::string_view a, std::string_view b) {
  size_t i = 0, j = 0;
  int leadingZeros = 0;
  while (i < a.size() && j < b.size()) {
    if (IsDigit(a[i]) && IsDigit(b[j])) {
      const int n = CompareNumbers(a, i, b, j, leadingZeros);
      if (n != 0) return n;
      continue;
    }
    const unsigned char ca = Fold(a[i]), cb = Fold(b[j]);
    if (ca != cb) return ca < cb ? -1 : 1;
    ++i;
    ++j;
  }
  if (i < a.size() || j < b.size()) return i < a.size() ? 1 : -1;  // a prefix comes first
  if (leadingZeros != 0) return leadingZeros;
  return a.compare(b) < 0 ? -1 : (a == b ? 0 : 1);  // same reading: upper case first
}
