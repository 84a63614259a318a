// format/recovery.cpp: reads and builds the header of the recovery file, straight from and
// into the bytes of the layout in recovery.h.
#include "format/recovery.h"

#include <string.h>

#include "format/fileio.h"
#include "format/gf16.h"

const BYTE kRecoverySignature[8] = {0x00, 'P', 'n', 'R', 'e', 'c', 0x0D, 0x0A};

// Offsets of the fixed fields.
enum {
    kVersionAt = 8,
    kSetIdAt = 10,
    kPieceCountAt = 12,
    kTotalSizeAt = 16,
    kParityLengthAt = 24,
    kYearAt = 32,
    kPackedTimeAt = 34,
    kNameLengthAt = 38,
    kParityCrcAt = 40,
    kHeaderCrcAt = 48,
};

static const int kTableBlock = 1024;

static unsigned long long GetLe(const BYTE *p, int width)
{
    unsigned long long v = 0;
    for (int i = width - 1; i >= 0; i--)
        v = v << 8 | p[i];
    return v;
}

static void PutLe(BYTE *p, unsigned long long v, int width)
{
    for (int i = 0; i < width; i++)
        p[i] = (BYTE)(v >> (8 * i));
}

void SeekRecoveryParity(HANDLE file, long long offset)
{
    SeekFromStart(file, kRecoveryParityOffset + offset);
}

long long RecoveryRowParityBytes(long long parityLength, int row)
{
    return row > 1 ? parityLength + (parityLength & 1) : parityLength;
}

long long RecoveryParityBytes(const RecoveryHeader *header)
{
    return RecoveryRowParityBytes(header->parityLength, header->row);
}

void RecoveryRowExtension(int row, char *out)
{
    strcpy(out, "d00");
    if (row <= 1)
        return;
    char digits[12];
    int count = 0;
    for (unsigned v = (unsigned)row; v != 0 || count < 2; v /= 10)
        digits[count++] = (char)('0' + v % 10);
    char *p = out + 3;
    *p++ = '.';
    while (count > 0)
        *p++ = digits[--count];
    *p = 0;
}

static long long TableOffset(const RecoveryHeader *header)
{
    return kRecoveryParityOffset + RecoveryParityBytes(header);
}

BOOL ReadRecoveryHeader(HANDLE file, RecoveryHeader *header)
{
    BYTE fixed[kRecoveryFixedSize];
    memset(header, 0, sizeof *header);
    SeekFromStart(file, 0);
    if (!ReadExactly(file, fixed, sizeof fixed) || memcmp(fixed, kRecoverySignature, sizeof kRecoverySignature) != 0)
        return FALSE;
    const unsigned long long version = GetLe(fixed + kVersionAt, 2);
    if (version != kRecoveryVersion && version != kRecoveryRowVersion)
        return FALSE;
    memcpy(header->setId, fixed + kSetIdAt, 2);
    unsigned long long count = GetLe(fixed + kPieceCountAt, 4);
    header->totalSize = (long long)GetLe(fixed + kTotalSizeAt, 8);
    header->parityLength = (long long)GetLe(fixed + kParityLengthAt, 8);
    header->year = (WORD)GetLe(fixed + kYearAt, 2);
    header->packedTime = (DWORD)GetLe(fixed + kPackedTimeAt, 4);
    header->nameLength = (int)GetLe(fixed + kNameLengthAt, 2);
    header->parityCrc = GetLe(fixed + kParityCrcAt, 8);
    // The parity lies before the table, so its length must leave the table's offset, and the
    // table's end, in the signed 64-bit range.
    const long long tableLength = (long long)count * kRecoveryEntrySize;
    if (count < 1 || count > 0x7FFFFFFF || header->totalSize < 0 || header->parityLength < 0 ||
        header->parityLength > header->totalSize ||
        header->parityLength > 0x7FFFFFFFFFFFFFFFLL - kRecoveryParityOffset - tableLength - 1 ||
        header->nameLength > kMaxNameLength)
        return FALSE;
    header->pieceCount = (LONG)count;
    if (!ReadExactly(file, header->name, (DWORD)header->nameLength))
        return FALSE;
    header->name[header->nameLength] = 0;
    Crc64 crc = Crc64Compute(0, fixed, kHeaderCrcAt);
    crc = Crc64Compute(crc, header->name, (size_t)header->nameLength);
    header->row = 1;
    if (version == kRecoveryRowVersion) {
        // A later row names itself and the rows of its set; its coefficients need the
        // pieces and rows to fit the field.
        BYTE rowFields[4];
        if (!ReadExactly(file, rowFields, sizeof rowFields))
            return FALSE;
        crc = Crc64Compute(crc, rowFields, sizeof rowFields);
        header->row = (WORD)GetLe(rowFields, 2);
        header->rows = (WORD)GetLe(rowFields + 2, 2);
        if (header->row < 2 || header->row > header->rows || header->rows > kMaxRecoveryRows ||
            count + header->rows > (unsigned long long)kGf16CodeSize)
            return FALSE;
    }

    // The table, a block of whole entries at a time.
    static_assert(kTableBlock % kRecoveryEntrySize == 0, "a table block holds whole entries");
    BYTE block[kTableBlock];
    long long sum = 0, largest = 0;
    long long bytesLeft = tableLength;
    SeekFromStart(file, TableOffset(header));
    while (bytesLeft > 0) {
        DWORD want = bytesLeft < kTableBlock ? (DWORD)bytesLeft : kTableBlock;
        if (!ReadExactly(file, block, want))
            return FALSE;
        crc = Crc64Compute(crc, block, want);
        bytesLeft -= want;
        for (DWORD at = 0; at < want; at += kRecoveryEntrySize) {
            long long dataCount = (long long)GetLe(block + at, 8);
            if (dataCount < 0 || dataCount > header->totalSize - sum)
                return FALSE;
            sum += dataCount;
            if (dataCount > largest)
                largest = dataCount;
        }
    }
    return sum == header->totalSize && largest == header->parityLength && crc == GetLe(fixed + kHeaderCrcAt, 8);
}

void SeekRecoveryTable(HANDLE file, const RecoveryHeader *header, LONG index)
{
    SeekFromStart(file, TableOffset(header) + (long long)index * kRecoveryEntrySize);
}

void GetRecoveryEntry(const BYTE *bytes, RecoveryEntry *entry)
{
    entry->dataCount = (long long)GetLe(bytes, 8);
    entry->crc = GetLe(bytes + 8, 8);
}

BOOL ReadRecoveryEntry(HANDLE file, const RecoveryHeader *header, LONG piece, RecoveryEntry *entry)
{
    BYTE bytes[kRecoveryEntrySize];
    if (piece < 1 || piece > header->pieceCount)
        return FALSE;
    SeekRecoveryTable(file, header, piece - 1);
    if (!ReadExactly(file, bytes, sizeof bytes))
        return FALSE;
    GetRecoveryEntry(bytes, entry);
    return TRUE;
}

void PutRecoveryEntry(BYTE *out, const RecoveryEntry *entry)
{
    PutLe(out, (unsigned long long)entry->dataCount, 8);
    PutLe(out + 8, entry->crc, 8);
}

int BuildRecoveryHeader(BYTE *out, int capacity, const RecoveryHeader *header, const BYTE *table, size_t tableSize)
{
    const bool later = header->row > 1;
    if (header->pieceCount < 1 || header->totalSize < 0 || header->parityLength < 0 || header->nameLength < 0 ||
        header->nameLength > kMaxNameLength || tableSize != (size_t)header->pieceCount * kRecoveryEntrySize ||
        (later && (header->row > header->rows || header->rows > kMaxRecoveryRows ||
                   (long long)header->pieceCount + header->rows > kGf16CodeSize)))
        return -1;
    const int length = kRecoveryFixedSize + header->nameLength + (later ? 4 : 0);
    if (length > capacity)
        return -1;
    memcpy(out, kRecoverySignature, sizeof kRecoverySignature);
    PutLe(out + kVersionAt, later ? kRecoveryRowVersion : kRecoveryVersion, 2);
    memcpy(out + kSetIdAt, header->setId, 2);
    PutLe(out + kPieceCountAt, (unsigned long long)header->pieceCount, 4);
    PutLe(out + kTotalSizeAt, (unsigned long long)header->totalSize, 8);
    PutLe(out + kParityLengthAt, (unsigned long long)header->parityLength, 8);
    PutLe(out + kYearAt, header->year, 2);
    PutLe(out + kPackedTimeAt, header->packedTime, 4);
    PutLe(out + kNameLengthAt, (unsigned long long)header->nameLength, 2);
    PutLe(out + kParityCrcAt, header->parityCrc, 8);
    memcpy(out + kRecoveryFixedSize, header->name, (size_t)header->nameLength);
    if (later) {
        PutLe(out + kRecoveryFixedSize + header->nameLength, header->row, 2);
        PutLe(out + kRecoveryFixedSize + header->nameLength + 2, header->rows, 2);
    }
    Crc64 crc = Crc64Compute(0, out, kHeaderCrcAt);
    crc = Crc64Compute(crc, out + kRecoveryFixedSize, (size_t)(length - kRecoveryFixedSize));
    crc = Crc64Compute(crc, table, tableSize);
    PutLe(out + kHeaderCrcAt, crc, 8);
    return length;
}
