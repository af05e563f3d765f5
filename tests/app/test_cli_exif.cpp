// pictrova-cli convert between JPEG and TIFF keeps a photo's camera values:
// exiftool reads the same values from the converted file as from the one
// exiftool tagged, both ways, and libtiff's tiffinfo reads the TIFF cleanly.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "util/testutil.h"

namespace {

using testutil::Shell;

const std::string kConvert = "/usr/bin/convert";
const std::string kExiftool = "/usr/bin/exiftool";
const std::string kTiffinfo = "/usr/bin/tiffinfo";

std::string Cli() {
  return testutil::BinDir() + "/pictrova-cli";
}

std::string Quote(const std::string& s) {
  return "'" + s + "'";
}

// The camera values exiftool writes, by exiftool's names.
const char* const kTagged =
    " -Make=Fujifilm -Model=X-T4 -ModifyDate='2024:07:08 09:10:11' -Copyright='J. Doe'"
    " -Software='Camera 2.0' -ExposureTime=0.008 -FNumber=4 -ISO=640"
    " -DateTimeOriginal='2024:07:08 09:10:12' -FocalLength=23 -UserComment='Market day'"
    " -ExposureCompensation=-0.3 -EXIF:Flash#=16";
const char* const kNames[] = {
    "Make",      "Model", "ModifyDate",       "Copyright",   "Software",    "ExposureTime",
    "FNumber",   "ISO",   "DateTimeOriginal", "FocalLength", "UserComment", "ExposureCompensation",
    "EXIF:Flash"};

// exiftool's numeric values of those tags.
std::map<std::string, std::string> CameraValues(const std::string& file) {
  std::string args = "-n";
  for (const char* name : kNames) args += std::string(" -") + name;
  return testutil::ExiftoolValues(file, args);
}

class CliExif : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testutil::HaveTool(Cli())) GTEST_SKIP() << "pictrova-cli is not built";
    for (const std::string& tool : {kConvert, kExiftool, kTiffinfo})
      if (!testutil::HaveTool(tool)) GTEST_SKIP() << tool << " is not installed";
  }
  // A photo-like picture tagged by exiftool.
  std::string Tagged(const std::string& name) {
    const std::string file = dir.File(name);
    Shell(kConvert + " -size 40x30 gradient:orange-navy " + Quote(file));
    Shell(kExiftool + " -q -overwrite_original" + kTagged + " " + Quote(file));
    return file;
  }
  void Convert(const std::string& from, const std::string& to) {
    const testutil::CommandResult r =
        testutil::RunCommand(Cli() + " convert " + Quote(from) + " " + Quote(to));
    ASSERT_EQ(r.status, 0) << r.output;
  }
  testutil::TempDir dir;
};

}  // namespace

TEST_F(CliExif, JpegToTiffAndBackKeepsTheCameraValues) {
  const std::string jpeg = Tagged("camera.jpg"), tiff = dir.File("camera.tif"),
                    back = dir.File("back.jpg");
  const std::map<std::string, std::string> tagged = CameraValues(jpeg);
  ASSERT_EQ(tagged.size(), std::size(kNames)) << "exiftool wrote every value";

  Convert(jpeg, tiff);
  EXPECT_EQ(CameraValues(tiff), tagged);
  const testutil::CommandResult info =
      testutil::RunCommand(kTiffinfo + " " + Quote(tiff) + " 2>&1");
  EXPECT_EQ(info.status, 0) << info.output;
  EXPECT_EQ(info.output.find("Warning"), std::string::npos) << info.output;
  EXPECT_NE(Shell(Cli() + " info " + Quote(tiff)).find(", EXIF"), std::string::npos);

  Convert(tiff, back);
  EXPECT_EQ(CameraValues(back), tagged);
}

TEST_F(CliExif, TiffTaggedByExiftoolToJpegKeepsTheCameraValues) {
  const std::string tiff = Tagged("camera.tif"), jpeg = dir.File("camera.jpg");
  const std::map<std::string, std::string> tagged = CameraValues(tiff);
  ASSERT_EQ(tagged.size(), std::size(kNames)) << "exiftool wrote every value";
  Convert(tiff, jpeg);
  EXPECT_EQ(CameraValues(jpeg), tagged);
}
