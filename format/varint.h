// format/varint.h: the big-endian variable-length integers of a piece header.
#pragma once
#include <windows.h>

// The kinds ReadLengthInteger knows.
enum { kLengthInteger = 1, kLongLengthInteger = 2 };

// Reads one size integer (4 or 8 bytes) from the file's current position.
// Returns -1 when the file ends inside it, or when its long form lies outside the
// signed 64-bit range; the bytes that did arrive stay consumed.
long long ReadSizeInteger(HANDLE file);

// Reads a length integer (kind 1: 1 or 2 bytes) or a long length integer (kind 2: 2 or
// 4 bytes). Returns -1 as ReadSizeInteger does, and 0 without reading for any other kind.
LONG ReadLengthInteger(HANDLE file, int kind);

// The writing side: each puts the shortest encoding of a value (0 or more, within the
// integer's range) at out and returns the number of bytes written.
int PutSizeInteger(unsigned char *out, long long value);
int PutLengthInteger(unsigned char *out, LONG value);
int PutLongLengthInteger(unsigned char *out, LONG value);

// The encoded widths, which follow from the value alone.
int SizeIntegerWidth(long long value);
int LengthIntegerWidth(LONG value);

// Big-endian and little-endian helpers over bytes.
inline DWORD GetBe32(const unsigned char *p)
{
    return (DWORD)p[0] << 24 | (DWORD)p[1] << 16 | (DWORD)p[2] << 8 | (DWORD)p[3];
}
inline void PutBe32(unsigned char *p, DWORD v)
{
    p[0] = (unsigned char)(v >> 24);
    p[1] = (unsigned char)(v >> 16);
    p[2] = (unsigned char)(v >> 8);
    p[3] = (unsigned char)v;
}
