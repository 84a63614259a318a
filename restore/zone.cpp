// restore/zone.cpp: carries the mark that a browser or mail program puts on a downloaded
// executable (its Zone.Identifier stream) over to the file restored from it, so that the
// system's protections for files from the internet still apply to that file.
#include <string.h>

#include "restore/worker.h"

const char kZoneStream[] = ":Zone.Identifier";
// Zones whose mark is carried over: the internet and untrusted sites.
const int kInternetZone = 3;
const int kUntrustedZone = 4;

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

// Reads the zone of the executable's own mark: -1 when it has none or none that parses.
// The stream's text is read into the block buffer, which holds no data yet.
static int OwnZone(RestoreRun *run)
{
    wsprintfA(g_textBuffer, "%s%s", g_restoreInfo.ownPath, kZoneStream);
    HANDLE stream = CreateFileA(g_textBuffer, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (stream == INVALID_HANDLE_VALUE)
        return -1;
    DWORD got = 0;
    BOOL read = ReadFile(stream, run->block, kBlockSize, &got, NULL);
    CloseHandle(stream);
    if (!read)
        return -1;
    return ZoneOfMark((const char *)run->block, got, got < kBlockSize);
}

void CarryZoneMark(RestoreRun *run)
{
    int zone = OwnZone(run);
    if (zone != kInternetZone && zone != kUntrustedZone)
        return;
    // The mark names the zone and where the file came from: this executable.
    int length = wsprintfA((char *)run->block, "[ZoneTransfer]\r\nZoneId=%d\r\nReferrerUrl=%s\r\n", zone,
                           g_restoreInfo.ownPath);
    wsprintfA(g_textBuffer, "%s%s", run->destinationPath, kZoneStream);
    // A volume without streams (FAT, many network shares) refuses the name: the file then
    // goes without the mark, as any copy onto such a volume does.
    HANDLE stream = CreateFileA(g_textBuffer, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (stream == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    WriteFile(stream, run->block, (DWORD)length, &written, NULL);
    CloseHandle(stream);
}
