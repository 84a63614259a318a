// format/recovery.h: the recovery files beside a split set: NAME.d00 and, where the
// sender asked for more, NAME.d00.02, NAME.d00.03, ...: their layout, the header read of
// the restoring side and the writing side used by the splitter.
//
// Each recovery file is one row of the code of gf16.h. With r of them, any r pieces of the
// set can be rebuilt, whether they are lost or their data are damaged; every one of them
// also gives every piece a 64-bit check of its data. The pieces themselves are unchanged by
// them. NAME.d00 is row 1, the XOR of every piece's data; NAME.d00.02 is row 2, and so on
// (two digits at least). The names sort beside the set's pieces and none is ever a
// piece's. All integers are little-endian and of fixed width.
//
//   Offset    Width  Field
//   0         8      signature 00 50 6E 52 65 63 0D 0A (a zero byte, "PnRec", CR LF)
//   8         2      version: 1 for NAME.d00, 2 for a later row
//   10        2      set identifier, as every piece of the set carries it
//   12        4      piece count N, 1 or more
//   16        8      total size, as the first piece states it
//   24        8      parity length L: the largest data count of any piece
//   32        2      year of the time stamp (0: the set carries none)
//   34        4      packed time of the time stamp, as in the time-stamp record
//   38        2      name length, 0 to 259
//   40        8      CRC-64/XZ of the row's parity bytes
//   48        8      header check: CRC-64/XZ of bytes 0 to 47, the name, the row fields
//                    (version 2) and the piece table
//   56        n      the stored name, code page 932, no terminator
//   56+n      2      version 2 only: the row number, 2 or more
//   58+n      2      version 2 only: the number of rows the set was made with
//   ...       ...    zero bytes up to the parity offset
//   102,400   P      parity data: row 1's are the XOR of every piece's data, each padded
//                    with zero bytes to L (P = L); a later row's are its sums of the
//                    pieces' symbols, P = L rounded up to an even count
//   102,400+P 16 × N piece table, one entry per piece in order: its data count (8) and
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
const WORD kRecoveryRowVersion = 2;
// The most recovery rows a set has, and a run uses.
const int kMaxRecoveryRows = 16;
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
    WORD row;  // 1 for NAME.d00
    WORD rows; // the rows the set was made with; 0 where NAME.d00 does not say
};

// The bytes of parity data the row holds, from its header, or from the parity length and
// its row (1 for NAME.d00).
long long RecoveryParityBytes(const RecoveryHeader *header);
long long RecoveryRowParityBytes(long long parityLength, int row);

// The name's extension of recovery row (1 for NAME.d00): "d00", then "d00.02", "d00.03",
// ... into out, which holds 16 bytes.
void RecoveryRowExtension(int row, char *out);

// One entry of the piece table.
struct RecoveryEntry {
    long long dataCount;
    Crc64 crc;
};

// Reads and checks the header from the file's start: signature, version, the header check
// over the fixed fields, the name, the row fields and the whole piece table (read in blocks of 1024 bytes),
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

// The writing side. The header's bytes (kRecoveryFixedSize + nameLength, and the row
// fields of a row other than NAME.d00's: row 0 or 1 is NAME.d00) into out, with the
// header check worked out over them and the piece table that the file will end with (the
// entries as PutRecoveryEntry puts them). Returns the number of bytes, or -1 when a field
// is out of range or out is too small.
int BuildRecoveryHeader(BYTE *out, int capacity, const RecoveryHeader *header, const BYTE *table, size_t tableSize);
void PutRecoveryEntry(BYTE *out, const RecoveryEntry *entry);
