#pragma once

#include <cstring>

// Four floats in one SSE register (GCC vector extension): the lanes of the four-wide loops of
// patch builds and height queries.
using Float4 = float __attribute__((vector_size(16)));

// Four consecutive floats from p, which need not be aligned.
inline Float4 load4(const float* p)
{
    Float4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
