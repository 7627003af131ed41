#pragma once

#include <cstddef>
#include <cstdint>

// One fuzz input for the terrain's height stream: the bytes become the heightmap file of a
// Terrain in a headless engine, which opens it, runs a few frames with a camera over it (the
// build thread reads it), answers height queries and raw reads derived from the input, and
// closes it. Whatever the bytes, nothing may crash, read out of bounds, or report a height that
// is not a number. A failed check aborts with a line on standard error. Returns 0.
int streamFuzzInput(const uint8_t* data, size_t size);
