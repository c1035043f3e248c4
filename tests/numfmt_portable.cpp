// The formatter as built where SSE2 is missing, compiled here under its own name so that the
// same tests hold it on every machine that runs them.
#undef __SSE2__
#define format_g11 format_g11_portable
#include "../src/numfmt.cpp"
