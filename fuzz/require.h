// The fuzz targets' one way to fail: name the broken property and abort, so libFuzzer saves
// the input that broke it.
#pragma once

#include <cstdio>
#include <cstdlib>

inline void require(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "property violated: %s\n", what);
        std::abort();
    }
}
