// format/varint.cpp: reads and writes the size and length integers of piece headers.
#include "format/varint.h"

#include "format/fileio.h"

static const long long kSizeShortLimit = 0x80000000LL;
static const LONG kLengthShortLimit = 0x80;
static const LONG kLongLengthShortLimit = 0x8000;

long long ReadSizeInteger(HANDLE file)
{
    unsigned char b[4];
    if (!ReadExactly(file, b, 4))
        return -1;
    DWORD high = GetBe32(b);
    if (high < 0x80000000u)
        return high;
    if (!ReadExactly(file, b, 4))
        return -1;
    unsigned long long stored = (unsigned long long)(high & 0x7FFFFFFFu) << 32 | GetBe32(b);
    // The long form holds the value minus 2^31; a stored value so large that the sum
    // leaves the signed range is not a size any writer makes.
    if (stored > 0x7FFFFFFFFFFFFFFFULL - (unsigned long long)kSizeShortLimit)
        return -1;
    return (long long)stored + kSizeShortLimit;
}

LONG ReadLengthInteger(HANDLE file, int kind)
{
    unsigned char b[2];
    if (kind == kLengthInteger) {
        if (!ReadExactly(file, b, 1))
            return -1;
        if (b[0] < 0x80)
            return b[0];
        LONG first = b[0] & 0x7F;
        if (!ReadExactly(file, b, 1))
            return -1;
        return first * 256 + b[0] + kLengthShortLimit;
    }
    if (kind == kLongLengthInteger) {
        if (!ReadExactly(file, b, 2))
            return -1;
        LONG high = b[0] << 8 | b[1];
        if (high < kLongLengthShortLimit)
            return high;
        if (!ReadExactly(file, b, 2))
            return -1;
        unsigned long stored = (unsigned long)(high & 0x7FFF) << 16 | (unsigned long)(b[0] << 8 | b[1]);
        if (stored > 0x7FFFFFFFUL - (unsigned long)kLongLengthShortLimit)
            return -1;
        return (LONG)(stored + kLongLengthShortLimit);
    }
    return 0;
}

int SizeIntegerWidth(long long value)
{
    return value < kSizeShortLimit ? 4 : 8;
}

int LengthIntegerWidth(LONG value)
{
    return value < kLengthShortLimit ? 1 : 2;
}

int PutSizeInteger(unsigned char *out, long long value)
{
    if (value < kSizeShortLimit) {
        PutBe32(out, (DWORD)value);
        return 4;
    }
    unsigned long long stored = (unsigned long long)(value - kSizeShortLimit);
    PutBe32(out, (DWORD)(stored >> 32) | 0x80000000u);
    PutBe32(out + 4, (DWORD)stored);
    return 8;
}

int PutLengthInteger(unsigned char *out, LONG value)
{
    if (value < kLengthShortLimit) {
        out[0] = (unsigned char)value;
        return 1;
    }
    LONG stored = value - kLengthShortLimit;
    out[0] = (unsigned char)(stored >> 8 | 0x80);
    out[1] = (unsigned char)stored;
    return 2;
}

int PutLongLengthInteger(unsigned char *out, LONG value)
{
    if (value < kLongLengthShortLimit) {
        out[0] = (unsigned char)(value >> 8);
        out[1] = (unsigned char)value;
        return 2;
    }
    DWORD stored = (DWORD)(value - kLongLengthShortLimit);
    PutBe32(out, stored | 0x80000000u);
    return 4;
}
