// format/recovery.h: the recovery file NAME.d00 beside a split set: its layout, the
// header read of the restoring side and the writing side used by the splitter.
//
// The recovery file lets any one piece of its set be rebuilt, whether it is lost or its
// data are damaged, and gives every piece a 64-bit check of its data. The pieces
// themselves are unchanged by it. All integers are little-endian and of fixed width.
//
//   Offset    Width  Field
//   0         8      signature 00 50 6E 52 65 63 0D 0A (a zero byte, "PnRec", CR LF)
//   8         2      version, 1
//   10        2      set identifier, as every piece of the set carries it
//   12        4      piece count N, 1 or more
//   16        8      total size, as the first piece states it
//   24        8      parity length L: the largest data count of any piece
//   32        2      year of the time stamp (0: the set carries none)
//   34        4      packed time of the time stamp, as in the time-stamp record
//   38        2      name length, 0 to 259
//   40        8      CRC-64/XZ of the L parity bytes
//   48        8      header check: CRC-64/XZ of bytes 0 to 47, the name and the piece table
//   56        n      the stored name, code page 932, no terminator
//   56+n      ...    zero bytes up to the parity offset
//   102,400   L      parity data: the XOR of every piece's data, each padded with zero
//                    bytes to L
//   102,400+L 16 × N piece table, one entry per piece in order: its data count (8) and
//                    the CRC-64/XZ of its data (8)
//
// The file ends with the piece table. Nothing in it can be taken for a piece: the piece
// marker search reads its blocks as text up to the first zero byte, and every block it
// would read of this file (offsets 0, 1,020, 2,040, ... up to 100,980) begins with a zero
// byte: the signature's first, then the padding; the first piece's place in an executable
// (53,248) lies in the padding too. The parity data begin beyond the search's reach.
#pragma once
#include <windows.h>

#include "format/crc64.h"
#include "format/piece.h"

const int kRecoveryFixedSize = 56;
const LONG kRecoveryParityOffset = 102400;
const int kRecoveryEntrySize = 16;
const WORD kRecoveryVersion = 1;
extern const BYTE kRecoverySignature[8];

// What the header states; name holds a terminating zero after nameLength bytes.
struct RecoveryHeader {
    BYTE setId[2];
    LONG pieceCount;
    long long totalSize;
    long long parityLength;
    WORD year;
    DWORD packedTime;
    int nameLength;
    char name[kNameHolderSize];
    Crc64 parityCrc;
};

// One entry of the piece table.
struct RecoveryEntry {
    long long dataCount;
    Crc64 crc;
};

// Reads and checks the header from the file's start: signature, version, the header check
// over the fixed fields, the name and the whole piece table (read in blocks of 1024 bytes),
// and that the table's data counts are 0 or more, add up to the total size and have the
// parity length as their largest. FALSE when any of that fails; the file position is then
// anywhere. Fixed buffers only.
BOOL ReadRecoveryHeader(HANDLE file, RecoveryHeader *header);

// Reads the piece table's entry of piece (1 for the first); FALSE when the file does not
// hold it whole.
BOOL ReadRecoveryEntry(HANDLE file, const RecoveryHeader *header, LONG piece, RecoveryEntry *entry);

// Moves the file position to byte offset of the parity data, or to entry index (0 for the
// first piece) of the piece table.
void SeekRecoveryParity(HANDLE file, long long offset);
void SeekRecoveryTable(HANDLE file, const RecoveryHeader *header, LONG index);
// An entry from its kRecoveryEntrySize bytes.
void GetRecoveryEntry(const BYTE *bytes, RecoveryEntry *entry);

// The writing side. The header's bytes (kRecoveryFixedSize + nameLength) into out, with the
// header check worked out over them and the piece table that the file will end with (the
// entries as PutRecoveryEntry puts them). Returns the number of bytes, or -1 when a field
// is out of range or out is too small.
int BuildRecoveryHeader(BYTE *out, int capacity, const RecoveryHeader *header, const BYTE *table, size_t tableSize);
void PutRecoveryEntry(BYTE *out, const RecoveryEntry *entry);
