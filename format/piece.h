// format/piece.h: the bytes of a piece (marker, headers, data, check value) and the two
// header reads.
#pragma once
#include <windows.h>

#include "format/crc64.h"

// The stub's own file size, where the first piece starts in the self-restoring executable.
const LONG kFirstPieceOffset = 0xD000;
// Where the first-piece header read starts: behind the marker and the byte after it.
const LONG kFirstPieceFieldsOffset = kFirstPieceOffset + 6;
const char kPieceMarker[] = "-PQ3-";
const int kPieceMarkerLength = 5;
// The name holder takes 259 bytes of name and a terminating zero.
const int kNameHolderSize = 260;
const int kMaxNameLength = kNameHolderSize - 1;

enum { kEndTag = 0, kNameTag = 1, kTimeStampTag = 3, kDataCheckTag = 0x40 };
// The time-stamp record's payload: year (2 bytes) and packed time (4 bytes).
const int kTimeStampLength = 6;
// The data-check record, in any piece's header: the CRC-64/XZ of that piece's data bytes,
// 8 bytes, little-endian. A record of this tag with another length is not one; readers
// that do not know the tag skip it by its length like any other.
const int kDataCheckLength = 8;

// What the first-piece header read produces.
struct FirstPieceHeader {
    long long totalSize;
    long long pieceLength;
    BYTE setId[2];
    char name[kNameHolderSize];
    WORD year;
    DWORD packedTime;
    BOOL hasDataCheck; // the header holds a data-check record
    Crc64 dataCheck;   // its CRC-64 of the piece's data
};

// Reads the first piece's header from the self-restoring executable, leaving the file
// position at the first data byte. FALSE when the header is damaged: a record tag or a
// record length that the file does not hold whole, or a name record longer than the
// name holder. Bytes of the other fields that do not arrive keep the value 0.
BOOL ReadFirstPieceHeader(HANDLE file, FirstPieceHeader *header);

// A later piece's header as read so far. remaining counts the bytes of the piece length
// not yet accounted for; after the records it is the piece's data count.
struct LaterPieceHeader {
    long long pieceLength;
    BYTE setId[2];
    long long remaining;
    BOOL hasDataCheck; // the header holds a data-check record
    Crc64 dataCheck;   // its CRC-64 of the piece's data
};

// The later-piece header read, in two halves so that the caller can compare the set
// identifier at its place: the first half reads the piece length, the set identifier and
// the length integer behind it, starting directly behind the piece marker.
void ReadLaterPieceStart(HANDLE file, LaterPieceHeader *header);
// The second half reads the records up to the end tag, leaving the position at the first
// data byte. FALSE when the piece ends before its end tag (a truncated piece). A
// data-check record is kept; any other record is skipped by its length.
BOOL ReadLaterPieceRecords(HANDLE file, LaterPieceHeader *header);

// Reads the two bytes after a piece's data, low byte first; a byte that does not arrive
// counts as 0.
WORD ReadCheckValue(HANDLE file);

// Whether a stored name may be used as a file name beside the executable: a plain name
// in code page 932 with no folder, drive, stream or device in it.
BOOL IsPlainFileName(const char *name);
