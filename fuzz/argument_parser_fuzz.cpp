// Fuzz target: the argument-string parser on arbitrary bytes and, with
// NIMB_FUZZ_BOOT set, the driver booted with them as its argument string
// (see argument_harness.h for the input layout and the rules checked).
// Booting costs a thousand times more than parsing, so the two are
// separate runs.
#include <cstdio>
#include <cstdlib>

#include "fuzz/argument_harness.h"

static const bool kBoot = std::getenv("NIMB_FUZZ_BOOT") != nullptr;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string fault = nimb_fuzz::CheckArgumentInput(data, size, kBoot);
    if (!fault.empty()) {
        std::fprintf(stderr, "argument_parser_fuzz: %s\n", fault.c_str());
        std::abort();
    }
    return 0;
}
