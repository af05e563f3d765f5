// One set of camera values for the tests of the EXIF writers (JPEG and TIFF),
// and the check that exiftool reads every one of them back from a file.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "imaging/core/ioparams.h"
#include "util/testutil.h"

namespace exifvalues {

// Every value of the EXIF table, HasExif, and a resolution of 240 dpi.
inline void SetCameraValues(TIOParamsVals& v) {
  v.HasExif = true;
  v.SetDpi(240, 240);
  v.ExifMake = "Nikon";
  v.ExifModel = "D850";
  v.ExifSoftware = "Pictrova";
  v.ExifDateTime = "2023:01:02 03:04:05";
  v.ExifCopyright = "Someone";
  v.ExifImageDescription = "A lake";
  v.ExifOrientation = 8;
  v.ExifWhitePoint[0] = 0.3127;
  v.ExifWhitePoint[1] = 0.329;
  v.ExifYCbCrPositioning = 1;
  v.ExifExposureTime = 0.0125;
  v.ExifFNumber = 5.6;
  v.ExifExposureProgram = 2;
  v.ExifISOSpeedRatings[0] = 800;
  v.ExifExifVersion = "0230";
  v.ExifDateTimeOriginal = "2023:01:02 03:04:06";
  v.ExifDateTimeDigitized = "2023:01:02 03:04:07";
  v.ExifShutterSpeedValue = 6.3;
  v.ExifApertureValue = 4.97;
  v.ExifExposureBiasValue = -1.5;
  v.ExifMaxApertureValue = 3;
  v.ExifSubjectDistance = 12.5;
  v.ExifMeteringMode = 3;
  v.ExifLightSource = 4;
  v.ExifFlash = 9;
  v.ExifFocalLength = 105;
  v.ExifUserComment = "Winter";
  v.ExifSubsecTime = "11";
  v.ExifFlashPixVersion = "0100";
  v.ExifColorSpace = 1;
  v.ExifPixelXDimension = 32;
  v.ExifPixelYDimension = 24;
  v.ExifFocalPlaneXResolution = 3000;
  v.ExifFocalPlaneYResolution = 3000;
  v.ExifFocalPlaneResolutionUnit = 2;
  v.ExifExposureIndex = 800;
  v.ExifSensingMethod = 2;
  v.ExifFileSource = 3;
  v.ExifSceneType = 1;
}

// exiftool (-n) reads the values of SetCameraValues from the file.
inline void ExpectExiftoolReadsCameraValues(const std::string& file) {
  std::map<std::string, std::string> t = testutil::ExiftoolValues(file, "-n -EXIF:all");
  const std::map<std::string, std::string> expected = {
      {"Make", "Nikon"}, {"Model", "D850"}, {"Software", "Pictrova"}, {"ModifyDate", "2023:01:02 03:04:05"},
      {"Copyright", "Someone"}, {"ImageDescription", "A lake"}, {"Orientation", "8"},
      {"WhitePoint", "0.3127 0.329"}, {"YCbCrPositioning", "1"}, {"XResolution", "240"},
      {"YResolution", "240"}, {"ResolutionUnit", "2"}, {"ExposureTime", "0.0125"}, {"FNumber", "5.6"},
      {"ExposureProgram", "2"}, {"ISO", "800"}, {"ExifVersion", "0230"},
      {"DateTimeOriginal", "2023:01:02 03:04:06"}, {"CreateDate", "2023:01:02 03:04:07"},
      {"ShutterSpeedValue", "0.0126609709644158"}, {"ApertureValue", "5.59834056889986"},
      {"ExposureCompensation", "-1.5"}, {"MaxApertureValue", "2.82842712474619"},
      {"SubjectDistance", "12.5"}, {"MeteringMode", "3"}, {"LightSource", "4"}, {"Flash", "9"},
      {"FocalLength", "105"}, {"UserComment", "Winter"}, {"SubSecTime", "11"},
      {"FlashpixVersion", "0100"}, {"ColorSpace", "1"}, {"ExifImageWidth", "32"},
      {"ExifImageHeight", "24"}, {"FocalPlaneXResolution", "3000"}, {"FocalPlaneYResolution", "3000"},
      {"FocalPlaneResolutionUnit", "2"}, {"ExposureIndex", "800"}, {"SensingMethod", "2"},
      {"FileSource", "3"}, {"SceneType", "1"},
  };
  for (const auto& [key, value] : expected) {
    SCOPED_TRACE(key);
    ASSERT_TRUE(t.count(key)) << "exiftool does not see the tag";
    if (key == "ShutterSpeedValue" || key == "ApertureValue" || key == "MaxApertureValue") {
      // exiftool converts these APEX values; compare numerically.
      EXPECT_NEAR(std::stod(t[key]), std::stod(value), 1e-3);
    } else {
      EXPECT_EQ(t[key], value);
    }
  }
}

}  // namespace exifvalues
