// restore/zone.cpp: carries the mark that a browser or mail program puts on a downloaded
// executable (its Zone.Identifier stream) over to the file restored from it, so that the
// system's protections for files from the internet still apply to that file.
#include "restore/zone.h"

#include <string.h>

#include "restore/mark.h"

// Zones whose mark is carried over: the internet and untrusted sites.
const int kInternetZone = 3;
const int kUntrustedZone = 4;

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
