// Fuzz target: the reader of the driver image file on arbitrary bytes (see
// image_reader_harness.h for the rules checked). An accepted image is also
// laid out and moved to another base.
#include <cstdio>
#include <cstdlib>

#include "fuzz/image_reader_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string fault = nimb_fuzz::CheckImageInput(data, size);
    if (!fault.empty()) {
        std::fprintf(stderr, "image_reader_fuzz: %s\n", fault.c_str());
        std::abort();
    }
    return 0;
}
