// format/bytes.h: little-endian words read from bytes in memory, for the CRCs' table steps.
#pragma once
#include <string.h>

// Eight bytes from p, the first the lowest.
inline unsigned long long LoadLe64(const unsigned char *p)
{
    unsigned long long v;
    memcpy(&v, p, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    return v;
}
