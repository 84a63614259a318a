// bench/crc_speed.h: the CRC-alone part of the benchmark, shared by parcelon-bench and the
// 32-bit Windows build of it that runs under Wine (bench/wincrc.cpp).
#pragma once

// Prints MB/s of every CRC variant this processor can run, at several call sizes, 1024 (the
// worker's block) among them.
void PrintCrcSpeeds();
