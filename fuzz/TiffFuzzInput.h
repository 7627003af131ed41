#pragma once

#include <cstddef>
#include <cstdint>

// One fuzz input for the TIFF module: the bytes are opened as a file, and when they make a
// record, a few pixel and rectangle reads derived from the input are checked against each
// other and against the buffer bounds. A failed check aborts with a line on standard error.
// Shared by the libFuzzer target and the corpus replay test. Returns 0.
int tiffFuzzInput(const uint8_t* data, size_t size);
