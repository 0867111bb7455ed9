// The fuzz harnesses: each takes one input, drives a piece that reads bytes or names from outside
// and checks what it does. A broken check prints "INVARIANT BROKEN" and aborts, so that libFuzzer
// keeps the input and a replay stops where it went wrong. libFuzzer's entry points
// (FuzzMain.cpp) and the replay of the kept inputs in the test suite both call these.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz
{

/// Once per process, before the first input: quiet error displays, PACKET_FUZZ_TRACE / FUZZ_TRACE.
void SetUp();

/// Packet detectors and their manager on a port over the in-memory dispatcher.
int Packet(const uint8_t* data, size_t size);
/// Message framing and its checksum against a model of the line protocol.
int Framing(const uint8_t* data, size_t size);
/// The trace and dispatch-log rings and the file texts written from them.
int LogWriters(const uint8_t* data, size_t size);
/// COM names, device-map link names and kernel tty names, and the map built from them.
int PortNames(const uint8_t* data, size_t size);

/// Whether FUZZ_TRACE is set: the harnesses then print every step.
bool Tracing();
/// Errors shown through the application's error display so far.
int ShownErrors();

/// Stops the run with a message; libFuzzer saves the input.
[[noreturn]] void Fail(const char* what, const std::string& detail = {});

} // namespace fuzz

#define FUZZ_CHECK(condition, ...)                                                                           \
    do {                                                                                                     \
        if (!(condition))                                                                                    \
            ::fuzz::Fail(#condition __VA_OPT__(, ) __VA_ARGS__);                                             \
    } while (false)
