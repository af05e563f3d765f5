// Makes the application's pictures from the layout definitions:
//   gen-printouts LAYOUTFILE OUTFOLDER
// writes printouts.png (the layout chooser), bkpage.png and blankpage.png.
#include <cstdio>
#include <exception>
#include <string>

#include "layoutpicture.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: gen-printouts LAYOUTFILE OUTFOLDER\n");
    return 2;
  }
  const std::string folder = std::string(argv[2]) + "/";
  try {
    const struct {
      const char* name;
      TRgbPicture picture;
    } outputs[] = {{"printouts.png", DrawLayoutChooser(argv[1])},
                   {"bkpage.png", DrawBlankSheet()},
                   {"blankpage.png", DrawEmptySlot()}};
    for (const auto& out : outputs) {
      if (!WriteRgbPng(folder + out.name, out.picture)) {
        std::fprintf(stderr, "gen-printouts: cannot write %s%s\n", folder.c_str(), out.name);
        return 1;
      }
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "gen-printouts: %s\n", e.what());
    return 1;
  }
  return 0;
}
