// libFuzzer entry for the terrain's height stream. Run with -close_fd_mask=1: the TIFF module
// traces every directory entry on standard output.

#include "StreamFuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    return streamFuzzInput(data, size);
}
