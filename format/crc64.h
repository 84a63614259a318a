// format/crc64.h: CRC-64/XZ, the 64-bit check of every piece's data that the recovery file
// keeps (reflected polynomial 0xC96C5795D7870F42, start and final XOR all ones).
#pragma once
#include <stddef.h>

typedef unsigned long long Crc64;

// The CRC of what came before (0 for no bytes) carried on over length more bytes: the CRC
// of a whole is the same however it is cut into calls. "123456789" gives
// 0x995DC9BBDF1939FA.
Crc64 Crc64Compute(Crc64 crc, const void *data, size_t length);

// The separate ways, for the tests and the benchmark; Crc64Compute picks the fastest. Both
// take and give the same values as Crc64Compute.
// Eight tables, eight bytes per step: the path every processor can take.
Crc64 Crc64Sliced(Crc64 crc, const void *data, size_t length);
// Whether this processor multiplies without carries (x86 with PCLMULQDQ, SSSE3 and SSE2);
// decided while the program's static data are initialised, before any thread exists.
bool Crc64CanFold();
// Carry-less multiplication folding, 64 bytes per step; only call it when Crc64CanFold()
// is true (without such a path in the build it computes the same value with the tables).
Crc64 Crc64Folded(Crc64 crc, const void *data, size_t length);
