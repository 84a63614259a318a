// format/piecewrite.h: the writing side of a piece: builds first-piece and later-piece
// headers into a caller's buffer, with the piece length, widths and records made to agree.
#pragma once
#include <windows.h>

#include "format/crc64.h"
#include "format/piece.h"

// The largest payload a record length can state (FF FF).
const LONG kMaxRecordLength = 32895;
// The record lengths need no more than this many bytes.
const int kMaxLengthIntegerWidth = 2;

// A header record to be written: any tag but the end tag, and length payload bytes.
struct HeaderRecord {
    BYTE tag;
    LONG length;
    const BYTE *payload;
};

// The data-check record as a writer puts it: tag, a one-byte length and the 8 bytes of
// the CRC-64, always the last record before the end tag. Its payload therefore starts
// kDataCheckFromEnd bytes before the header's end, where a writer that learns the CRC
// only while it copies the data puts it afterwards (PutDataCheck).
const int kDataCheckRecordSize = 1 + 1 + kDataCheckLength;
const int kDataCheckFromEnd = kDataCheckLength + 1;

// What goes into the header of a first piece, in this order: the name record (when name
// is not NULL), the time-stamp record (when hasTimeStamp), the extra records, then the
// data-check record (when hasDataCheck).
struct FirstPieceFields {
    long long totalSize;
    long long dataCount;
    BYTE setId[2];
    const char *name; // code page 932, nameLength bytes, no terminator; at most 259
    int nameLength;
    BOOL hasTimeStamp;
    WORD year;
    DWORD packedTime;
    const HeaderRecord *extraRecords;
    int extraRecordCount;
    BOOL hasDataCheck;
    Crc64 dataCheck; // the CRC-64/XZ of the piece's data bytes
};

// What goes into the header of a later piece: its records, then the data-check record
// (when hasDataCheck).
struct LaterPieceFields {
    long long dataCount;
    BYTE setId[2];
    LONG lengthInteger; // the length integer behind the set identifier; only its width counts
    const HeaderRecord *records;
    int recordCount;
    BOOL hasDataCheck;
    Crc64 dataCheck; // the CRC-64/XZ of the piece's data bytes
};

// The piece length of a piece whose header takes headerLength bytes with a 4-byte piece
// length: the piece length counts its own width, so when the sum reaches 2^31 the 8-byte
// form adds 4 more. -1 when the sum leaves the signed 64-bit range.
long long PieceLengthFor(int headerLength, long long dataCount);

// Write the header into out (capacity bytes) and return its length, from the first marker
// byte through the end tag; *pieceLength receives the piece length. Return -1 and write
// nothing useful when a value is out of range or the header does not fit.
int BuildFirstPieceHeader(BYTE *out, int capacity, const FirstPieceFields *fields, long long *pieceLength);
int BuildLaterPieceHeader(BYTE *out, int capacity, const LaterPieceFields *fields, long long *pieceLength);

// The packed time of a time-stamp record: month, day, hour, minute and second in one
// 32-bit value (the year is stored beside it).
DWORD PackTime(int month, int day, int hour, int minute, int second);

// Puts the data-check record's payload: the CRC-64, low byte first.
inline void PutDataCheck(BYTE *out, Crc64 crc)
{
    for (int i = 0; i < kDataCheckLength; i++)
        out[i] = (BYTE)(crc >> (8 * i));
}

// Puts the check value after a piece's data: the CRC, low byte first.
inline void PutCheckValue(BYTE *out, WORD crc)
{
    out[0] = (BYTE)crc;
    out[1] = (BYTE)(crc >> 8);
}
