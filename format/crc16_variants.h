// format/crc16_variants.h: the separate ways format/crc16.cpp computes the CRC-16, and the
// constants of its carry-less-multiply path, for the tests and the benchmark. The program
// itself calls only Crc16Update and Crc16Compute, which pick the fastest way.
#pragma once
#include <stddef.h>
#include <windows.h>

// One 256-entry table, one byte per step.
WORD Crc16Bytewise(WORD start, const void *data, size_t length);

// Eight tables, eight bytes per step: the path every processor can take.
WORD Crc16Sliced(WORD start, const void *data, size_t length);

// Whether this processor can run Crc16Folded (x86 with PCLMULQDQ, SSSE3 and SSE2). Decided
// once while the program's static data are initialised, before any thread exists.
bool Crc16CanFold();

// Carry-less multiplication folding, 64 bytes per step, the table path for what remains
// below 16 bytes. Only call it when Crc16CanFold() is true; where the build has no such
// path (not x86) it computes the same value with the tables.
WORD Crc16Folded(WORD start, const void *data, size_t length);

// A remainder x^exponent mod P(x) that the folding path multiplies by, P(x) = x^16 + x^12
// + x^5 + 1.
struct Crc16FoldConstant {
    unsigned exponent;
    UINT remainder;
};

// Every remainder the folding path uses, and the quotient floor(x^64 / P(x)) of its final
// reduction (worked out at compile time in every build, used only where the path exists).
extern const Crc16FoldConstant kCrc16FoldConstants[];
extern const size_t kCrc16FoldConstantCount;
extern const unsigned long long kCrc16FinalQuotient;
