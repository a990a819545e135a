#include "FuzzInput.h"

#include <cstdio>
#include <cstdlib>

void fuzzFailure(const char *file, int line, const char *what)
{
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
    std::fflush(stderr);
    // abort() is what libFuzzer reports as a crash and saves the input for.
    std::abort();
}
