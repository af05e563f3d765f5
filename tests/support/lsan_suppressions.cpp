// Compiled into every test program. Fontconfig keeps its caches until exit
// and Qt never hands them back, nor the D-Bus connection of a window on a
// real X server: not our leaks.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig\nleak:libdbus-1\n";
}
