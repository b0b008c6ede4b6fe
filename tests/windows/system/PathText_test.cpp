// The path text cases once more, on the Windows build under Wine, where
// wchar_t is 16 bits wide.
#include "native/PathText_test.cpp"
