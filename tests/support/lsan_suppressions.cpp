// Compiled into every test program. Fontconfig keeps its caches until exit
// and Qt never hands them back: not our leaks.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig\n"; }
