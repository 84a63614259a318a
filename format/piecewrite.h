// format/piecewrite.h: the writing side of a piece: builds first-piece and later-piece
// headers into a caller's buffer, with the piece length, widths and records made to agree.
#pragma once
#include <windows.h>

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

// What goes into the header of a first piece, in this order: the name record (when name
// is not NULL), the time-stamp record (when hasTimeStamp), then the extra records.
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
};

// What goes into the header of a later piece.
struct LaterPieceFields {
    long long dataCount;
    BYTE setId[2];
    LONG lengthInteger; // the length integer behind the set identifier; only its width counts
    const HeaderRecord *records;
    int recordCount;
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

// Puts the check value after a piece's data: the CRC, low byte first.
inline void PutCheckValue(BYTE *out, WORD crc)
{
    out[0] = (BYTE)crc;
    out[1] = (BYTE)(crc >> 8);
}
