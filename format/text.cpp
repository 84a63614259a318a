// format/text.cpp: sizes written with grouped digits.
#include "format/text.h"

#include <string.h>

const char *GroupedDecimal(long long value)
{
    static char grouped[32];
    char digits[24];
    int n = 0;
    // Digits are produced from the unsigned magnitude, so the most negative value works
    // too; its sign counts as a digit when grouping.
    unsigned long long magnitude = value < 0 ? 0 - (unsigned long long)value : (unsigned long long)value;
    char reversed[24];
    int r = 0;
    do {
        reversed[r++] = (char)('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0)
        digits[n++] = '-';
    while (r > 0)
        digits[n++] = reversed[--r];

    memset(grouped, 0, sizeof grouped);
    int first = n % 3 == 0 ? 3 : n % 3;
    char *out = grouped;
    for (int i = 0; i < n; i++) {
        if (i >= first && (i - first) % 3 == 0)
            *out++ = ',';
        *out++ = digits[i];
    }
    return grouped;
}
