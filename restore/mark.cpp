// restore/mark.cpp: reads the zone that a download mark's text names.
#include "restore/mark.h"

#include <string.h>

const char kZoneStream[] = ":Zone.Identifier";

static BOOL IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r';
}

// Whether text[0..length) equals word, letters compared without regard to case.
static BOOL SameWord(const char *text, size_t length, const char *word)
{
    if (length != strlen(word))
        return FALSE;
    for (size_t i = 0; i < length; i++) {
        char a = text[i] >= 'a' && text[i] <= 'z' ? (char)(text[i] - 'a' + 'A') : text[i];
        char b = word[i] >= 'a' && word[i] <= 'z' ? (char)(word[i] - 'a' + 'A') : word[i];
        if (a != b)
            return FALSE;
    }
    return TRUE;
}

int ZoneOfMark(const char *text, size_t length, BOOL complete)
{
    // A UTF-8 byte order mark before the first section is allowed.
    if (length >= 3 && memcmp(text, "\xEF\xBB\xBF", 3) == 0) {
        text += 3;
        length -= 3;
    }
    BOOL inZoneTransfer = FALSE;
    size_t start = 0;
    while (start < length) {
        size_t end = start;
        while (end < length && text[end] != '\n')
            end++;
        // A line cut off by the end of what was read might have lost digits.
        if (end == length && !complete)
            return -1;
        size_t first = start, last = end;
        start = end + 1;
        while (first < last && IsBlank(text[first]))
            first++;
        while (last > first && IsBlank(text[last - 1]))
            last--;
        if (first == last)
            continue;
        if (text[first] == '[') {
            inZoneTransfer = SameWord(text + first, last - first, "[ZoneTransfer]");
            continue;
        }
        const char *equals = (const char *)memchr(text + first, '=', last - first);
        if (!inZoneTransfer || equals == NULL)
            continue;
        size_t keyEnd = (size_t)(equals - text);
        while (keyEnd > first && IsBlank(text[keyEnd - 1]))
            keyEnd--;
        if (!SameWord(text + first, keyEnd - first, "ZoneId"))
            continue;
        size_t digit = (size_t)(equals - text) + 1;
        while (digit < last && IsBlank(text[digit]))
            digit++;
        // The first ZoneId decides, as for the system's own reading; a value that is no
        // small decimal number is no zone.
        if (digit == last || last - digit > 4)
            return -1;
        int zone = 0;
        for (; digit < last; digit++) {
            if (text[digit] < '0' || text[digit] > '9')
                return -1;
            zone = zone * 10 + (text[digit] - '0');
        }
        return zone;
    }
    return -1;
}
