// bench/wincrc.cpp: the CRC-alone figures of parcelon-bench as a 32-bit Windows console
// program, built with the stub's compiler and flags and run under Wine by --wine.
#include "bench/crc_speed.h"

int main()
{
    PrintCrcSpeeds();
    return 0;
}
