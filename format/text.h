// format/text.h: code page 932 text as the program, the stand-in and the front end read
// it (which bytes open and close a double-byte character), and sizes written with grouped
// digits.
#pragma once

// Whether a byte opens a double-byte character of code page 932.
inline bool IsLeadByte(unsigned char c)
{
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

// Whether a byte may close a double-byte character of code page 932.
inline bool IsTrailByte(unsigned char c)
{
    return (c >= 0x40 && c <= 0x7E) || (c >= 0x80 && c <= 0xFC);
}

// The decimal text of a value with a comma before every group of three digits, in a
// static buffer that the next call overwrites.
const char *GroupedDecimal(long long value);
