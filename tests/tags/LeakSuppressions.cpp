// id3lib 3.8.3 leaks a few bytes each time it parses an ID3v1 tag
// (ID3_TagImpl::ParseReader); that is the library's, not ours, so the leak
// checker of sanitizer builds is told to pass over it.
extern "C" const char* __lsan_default_suppressions() { return "leak:libid3\n"; }
