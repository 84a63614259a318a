// native/wsprintf.cpp: the stand-in's wsprintfA: Windows' own conversions and its 1024-byte
// output limit, with the 32-bit sizes of Windows' integer arguments.
#include <windows.h>

#include "shim_internal.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <string>

namespace {

// wsprintfA writes at most this many bytes, the terminating zero included.
const size_t kOutputLimit = 1024;

struct Output {
    char *buffer;
    size_t used;

    void Append(const char *text, size_t length)
    {
        const size_t room = kOutputLimit - 1 - used;
        const size_t count = length < room ? length : room;
        memcpy(buffer + used, text, count);
        used += count;
    }
};

} // namespace

// Models the formatter: %d %i %u %x %X %c %s with the flags '-', '0' and '#', a width, a
// precision and the size prefixes h and l (l is 32 bits, as on Windows).
int WINAPIV wsprintfA(LPSTR buffer, LPCSTR format, ...)
{
    va_list args;
    va_start(args, format);
    Output out = {buffer, 0};
    const char *p = format;
    while (*p) {
        if (*p != '%') {
            const char *next = strchr(p, '%');
            const size_t length = next ? (size_t)(next - p) : strlen(p);
            out.Append(p, length);
            p += length;
            continue;
        }
        p++;
        if (*p == '%') {
            out.Append("%", 1);
            p++;
            continue;
        }
        // The conversion as the C library writes it, without Windows' size prefix.
        std::string conversion = "%";
        while (*p == '-' || *p == '0' || *p == '#')
            conversion += *p++;
        while (*p >= '0' && *p <= '9')
            conversion += *p++;
        if (*p == '.') {
            conversion += *p++;
            while (*p >= '0' && *p <= '9')
                conversion += *p++;
        }
        char size = 0;
        if (*p == 'h' || *p == 'l')
            size = *p++;
        const char type = *p ? *p++ : 0;
        conversion += type;
        char piece[kOutputLimit];
        int length;
        if (type == 'd' || type == 'i') {
            int value = va_arg(args, int);
            if (size == 'h') value = (short)value;
            length = snprintf(piece, sizeof piece, conversion.c_str(), value);
        } else if (type == 'u' || type == 'x' || type == 'X') {
            unsigned value = va_arg(args, unsigned);
            if (size == 'h') value = (unsigned short)value;
            length = snprintf(piece, sizeof piece, conversion.c_str(), value);
        } else if (type == 'c' && size != 'l') {
            length = snprintf(piece, sizeof piece, conversion.c_str(), va_arg(args, int));
        } else if (type == 's' && size != 'l') {
            const char *text = va_arg(args, const char *);
            length = snprintf(piece, sizeof piece, conversion.c_str(), text ? text : "(null)");
        } else {
            va_end(args);
            ShimRefuse("wsprintfA", "this conversion (wide, pointer or floating point)");
        }
        if (length > 0)
            out.Append(piece, (size_t)length < sizeof piece ? (size_t)length : sizeof piece - 1);
    }
    va_end(args);
    buffer[out.used] = '\0';
    return (int)out.used;
}
