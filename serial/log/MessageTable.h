// The message table: texts of the result codes and the fixed words of the dispatch log.
#pragma once

#include <cstdint>
#include <string>

/// The text for a code (its sign is ignored): the table's text or the program's own text for an
/// operating-system or file error ("File not found"), else the operating system's text for that
/// error number with control characters turned into blanks and runs of blanks folded, else empty.
/// At most 255 characters. Thread: any.
std::string MessageForCode(int32_t code);
