// Run from an installed prefix's bin folder by the install test: keeps a
// setting and places a picture as the program does, then says where the
// folders are.   installprobe PICTURE
#include <cstdio>
#include <exception>

#include "app/gen.h"
#include "app/layout.h"
#include "imaging/view/imagingview.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: installprobe PICTURE\n", stderr);
    return 2;
  }
  try {
    XaApplication app(nullptr);
    app.SetInt("WindowWidth", 640);
    app.SaveWindowSettings();

    TImagingVect page;
    TImagingView work;
    XaLayout layout(&page, ProgramFolder() + "printouts.txt");
    layout.WorkView = &work;
    layout.SetUpPage();
    layout.LoadLayout("8x10");
    layout.DropPicture(0, argv[1]);
    std::printf("data=%s\nsettings=%s\nwork=%s\nprint=%s\n", ProgramFolder().c_str(),
                app.SettingsFile().c_str(), layout.WorkFolder.c_str(), layout.PrintFile(0).c_str());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "installprobe: %s\n", e.what());
    return 1;
  }
  return 0;
}
