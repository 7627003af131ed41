// libFuzzer entry for the TIFF reader. Run with -close_fd_mask=1: the module traces every
// directory entry on standard output.

#include "TiffFuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    return tiffFuzzInput(data, size);
}
