// format/piece.cpp: reads piece headers field by field straight from the file handle.
#include "format/piece.h"

#include <ctype.h>
#include <string.h>

#include "format/text.h"
#include "format/varint.h"

// Reads up to count bytes without a test: bytes that do not arrive keep their value.
static void ReadUntested(HANDLE file, void *out, DWORD count)
{
    DWORD got = 0;
    ReadFile(file, out, count, &got, NULL);
}

// Reads one record tag; FALSE when the file holds none.
static BOOL ReadRecordTag(HANDLE file, BYTE *tag)
{
    DWORD got = 0;
    return ReadFile(file, tag, 1, &got, NULL) && got == 1;
}

// Reads a data-check record's payload, little-endian; FALSE when it does not arrive whole
// (the header then ends at its next read).
static BOOL ReadDataCheck(HANDLE file, Crc64 *check)
{
    BYTE bytes[kDataCheckLength];
    DWORD got = 0;
    if (!ReadFile(file, bytes, kDataCheckLength, &got, NULL) || got != (DWORD)kDataCheckLength)
        return FALSE;
    Crc64 value = 0;
    for (int i = kDataCheckLength - 1; i >= 0; i--)
        value = value << 8 | bytes[i];
    *check = value;
    return TRUE;
}

// Moves the file position forward by count bytes, which may pass 2 GiB.
static void SkipBytes(HANDLE file, long long count)
{
    LONG high = (LONG)(count >> 32);
    SetFilePointer(file, (LONG)(DWORD)count, &high, FILE_CURRENT);
}

BOOL ReadFirstPieceHeader(HANDLE file, FirstPieceHeader *header)
{
    memset(header, 0, sizeof *header);
    SetFilePointer(file, kFirstPieceFieldsOffset, NULL, FILE_BEGIN);
    header->totalSize = ReadSizeInteger(file);
    SkipBytes(file, 1);
    header->pieceLength = ReadSizeInteger(file);
    ReadUntested(file, header->setId, 2);
    for (;;) {
        BYTE tag;
        if (!ReadRecordTag(file, &tag))
            return FALSE;
        if (tag == kEndTag)
            return TRUE;
        LONG length = ReadLengthInteger(file, kLengthInteger);
        if (length < 0)
            return FALSE;
        if (tag == kNameTag) {
            // A longer name would not fit the holder: the header cannot be a sound one.
            if (length > kMaxNameLength)
                return FALSE;
            ReadUntested(file, header->name, (DWORD)length);
            header->name[length] = 0;
        } else if (tag == kTimeStampTag) {
            // Exactly six bytes, whatever the record's length says.
            BYTE stamp[kTimeStampLength];
            stamp[0] = (BYTE)header->year;
            stamp[1] = (BYTE)(header->year >> 8);
            for (int i = 0; i < 4; i++)
                stamp[2 + i] = (BYTE)(header->packedTime >> (8 * i));
            ReadUntested(file, stamp, kTimeStampLength);
            header->year = (WORD)(stamp[0] | stamp[1] << 8);
            header->packedTime = (DWORD)stamp[2] | (DWORD)stamp[3] << 8 | (DWORD)stamp[4] << 16 | (DWORD)stamp[5] << 24;
        } else if (tag == kDataCheckTag && length == kDataCheckLength) {
            header->hasDataCheck = ReadDataCheck(file, &header->dataCheck);
        } else {
            SkipBytes(file, length);
        }
    }
}

void ReadLaterPieceStart(HANDLE file, LaterPieceHeader *header)
{
    memset(header, 0, sizeof *header);
    header->pieceLength = ReadSizeInteger(file);
    // The five marker bytes and the two of the set identifier, then the width of the
    // piece length itself (a failed read, -1, counts as the short form).
    header->remaining = header->pieceLength - 7 - (header->pieceLength < 0x80000000LL ? 4 : 8);
    ReadUntested(file, header->setId, 2);
    LONG ignored = ReadLengthInteger(file, kLengthInteger);
    header->remaining -= ignored < 128 ? 1 : 2;
}

BOOL ReadLaterPieceRecords(HANDLE file, LaterPieceHeader *header)
{
    for (;;) {
        BYTE tag;
        if (!ReadRecordTag(file, &tag))
            return FALSE;
        header->remaining -= 1;
        if (tag == kEndTag)
            return TRUE;
        LONG length = ReadLengthInteger(file, kLengthInteger);
        if (length < 0)
            return FALSE;
        header->remaining -= LengthIntegerWidth(length) + (long long)length;
        if (tag == kDataCheckTag && length == kDataCheckLength)
            header->hasDataCheck = ReadDataCheck(file, &header->dataCheck);
        else
            SkipBytes(file, length);
    }
}

WORD ReadCheckValue(HANDLE file)
{
    BYTE b[2] = {0, 0};
    ReadUntested(file, b, 2);
    return (WORD)(b[0] | b[1] << 8);
}

// The device names Windows reserves, alone or before a ".".
static BOOL IsDeviceName(const char *name)
{
    static const char *const kDevices[] = {"CON", "PRN", "AUX", "NUL"};
    size_t stem = strcspn(name, ".");
    // Windows drops the spaces at the end of a name part, so "NUL .txt" is NUL as well.
    while (stem > 0 && name[stem - 1] == ' ')
        stem--;
    char upper[5] = {0};
    if (stem < 3 || stem > 4)
        return FALSE;
    for (size_t i = 0; i < stem; i++)
        upper[i] = (char)toupper((unsigned char)name[i]);
    if (stem == 3) {
        for (const char *device : kDevices)
            if (memcmp(upper, device, 3) == 0)
                return TRUE;
        return FALSE;
    }
    return (memcmp(upper, "COM", 3) == 0 || memcmp(upper, "LPT", 3) == 0) && upper[3] >= '1' && upper[3] <= '9';
}

BOOL IsPlainFileName(const char *name)
{
    if (name[0] == 0 || strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
        return FALSE;
    for (const unsigned char *p = (const unsigned char *)name; *p; p++) {
        if (IsLeadByte(*p)) {
            // The trail byte belongs to the same character, even where it is 0x5C. A lead
            // byte followed by anything else is no character, and a separator, colon or
            // control byte behind it must not pass as its second half.
            if (!IsTrailByte(p[1]))
                return FALSE;
            p++;
            continue;
        }
        if (*p < 0x20 || *p == '\\' || *p == '/' || *p == ':')
            return FALSE;
    }
    return !IsDeviceName(name);
}
