// Leak checking (sanitizer builds): the font configuration library keeps a
// cache that the toolkit never frees. Our own allocations are still checked.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
