// libFuzzer's entry points for one harness, chosen when the target is built (LINTAKER_FUZZ_ENTRY).
#include "fuzz/Harnesses.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::SetUp();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    return fuzz::LINTAKER_FUZZ_ENTRY(data, size);
}
