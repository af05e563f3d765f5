// The rows of the formats built into the library and the order in which
// their content is recognised; used by the input/output core only.
#pragma once

#include <cstdint>
#include <vector>

#include "imaging/io/imagingio.h"

// The built-in rows, in registration order.
std::vector<TPxFileFormat> PxBuiltInFormats();

// How one step of recognition tests a type.
enum TPxDetectBy : uint8_t {
  dbStreamTag,  // more than 12 bytes, the first five read as text are the row's StreamTag
  dbContent,    // the row's TestFunction
};

struct TPxDetectStep {
  int32_t FileType;
  TPxDetectBy By;
  // The test of a type that has no row (a video); nullptr for table rows.
  bool (*OutsideTable)(TPxStream& stream) = nullptr;
};

// The order in which DetectStreamType tries the built-in types, after the
// content tests of the rows added by extensions. Formats with weak
// signatures come late, so that they never shadow a stronger one.
const std::vector<TPxDetectStep>& PxDetectionOrder();
