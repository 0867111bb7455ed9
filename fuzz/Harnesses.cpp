// What the harnesses share: the error display, tracing and the way a broken check ends the run.
#include "fuzz/Harnesses.h"

#include "runtime/Application.h"

#include <cstdio>
#include <cstdlib>

namespace
{
bool gTrace = false;
int gShownErrors = 0;
} // namespace

void fuzz::SetUp()
{
    gTrace = std::getenv("FUZZ_TRACE") != nullptr || std::getenv("PACKET_FUZZ_TRACE") != nullptr;
    // Handler and setting errors reach the standard error display; here they are only counted.
    Application::SetExceptionDisplay([](const std::string& text) {
        ++gShownErrors;
        if (gTrace)
            std::fprintf(stderr, "  error shown: %s\n", text.c_str());
    });
}

bool fuzz::Tracing() { return gTrace; }

int fuzz::ShownErrors() { return gShownErrors; }

void fuzz::Fail(const char* what, const std::string& detail)
{
    std::fprintf(stderr, "INVARIANT BROKEN: %s %s\n", what, detail.c_str());
    std::abort();
}
