// restore/recovery.cpp: what a restore run does with the recovery files: finds them at the
// start, follows the table entry of each piece (its data count and CRC-64), keeps the
// pieces set aside for the rebuild (one per usable recovery file) and the user's refusal,
// and rebuilds them after the last piece.
#include "restore/recovery.h"

#include <string.h>

#include "format/fileio.h"
#include "format/gf16.h"
#include "restore/run.h"

// Table entries read at once during a rebuild: one 1024-byte read.
static const LONG kEntriesPerRead = (LONG)(kBlockSize / kRecoveryEntrySize);

// The sums a rebuild works out for one block, one per row it reads: the row's parity
// data less every piece that is not set aside.
static BYTE s_sums[kMaxRecoveryRows][kBlockSize];

void MakeRecoveryName(const char *ownPath, char *name)
{
    MakeRecoveryRowName(ownPath, 1, name);
}

void MakeRecoveryRowName(const char *ownPath, int row, char *name)
{
    strcpy(name, ownPath);
    char *dot = strrchr(name, '.');
    if (dot == NULL) {
        dot = name + strlen(name);
        *dot = '.';
    }
    RecoveryRowExtension(row, dot + 1);
}

void ResetRecovery(RestoreRun *run)
{
    RunRecovery *r = &run->recovery;
    r->file = INVALID_HANDLE_VALUE;
    for (int i = 0; i < kMaxRecoveryRows; i++)
        r->rows[i] = INVALID_HANDLE_VALUE;
    r->usableRows = 0;
    r->pieceStart = 0;
    r->refusedPiece = 0;
    r->asideCount = 0;
    r->pendingBytes = 0;
    r->pendingAtStart = 0;
    r->rebuildLength = 0;
    r->rebuildAt = 0;
    r->solvedFor = 0;
}

BOOL HasRecovery(const RestoreRun *run)
{
    return run->recovery.file != INVALID_HANDLE_VALUE;
}

// Whether the recovery file of row, open as file, belongs to this set: a sound header of
// that row with the set's identifier, total size, name, time stamp, first piece's data
// count and, when the first piece has a data-check record, its CRC-64; and, beside a row
// already kept, the same piece count and parity length. Fills header and first.
static BOOL RowBelongs(const RestoreRun *run, HANDLE file, int row, RecoveryHeader *h, RecoveryEntry *first)
{
    const RunRecovery *r = &run->recovery;
    const RestoreInfo &info = g_restoreInfo;
    // A recovery file of another set, or a damaged one, must never make a sound set fail.
    // Where the first piece states its data's CRC-64, the table must state the same: a
    // recovery file left from an earlier split of the same name, size and time has another.
    if (!ReadRecoveryHeader(file, h) || h->row != row || memcmp(h->setId, info.setId, 2) != 0 ||
        h->totalSize != info.totalSize || h->year != info.year || h->packedTime != info.packedTime ||
        strcmp(h->name, info.storedName) != 0 || !ReadRecoveryEntry(file, h, 1, first) ||
        first->dataCount != info.firstPieceLength - (long long)info.headerLength ||
        (info.hasDataCheck && first->crc != info.dataCheck))
        return FALSE;
    return r->file == INVALID_HANDLE_VALUE ||
           (h->pieceCount == r->header.pieceCount && h->parityLength == r->header.parityLength);
}

void OpenRecovery(RestoreRun *run)
{
    RunRecovery *r = &run->recovery;
    const RestoreInfo &info = g_restoreInfo;
    // Every row is looked for: any of them may be the one lost.
    for (int row = 1; row <= kMaxRecoveryRows; row++) {
        char path[sizeof r->path];
        MakeRecoveryRowName(info.ownPath, row, path);
        HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
        if (file == INVALID_HANDLE_VALUE)
            continue;
        RecoveryHeader header;
        RecoveryEntry first;
        if (!RowBelongs(run, file, row, &header, &first)) {
            CloseHandle(file);
            continue;
        }
        r->rows[row - 1] = file;
        r->parityCrcs[row - 1] = header.parityCrc;
        r->usableRows++;
        if (r->file == INVALID_HANDLE_VALUE) {
            r->file = file;
            r->header = header;
            r->entry = first;
            strcpy(r->path, path);
        }
    }
    if (r->file != INVALID_HANDLE_VALUE)
        Gf16Build();
}

DWORD DestinationAccess(const RestoreRun *run)
{
    return HasRecovery(run) ? GENERIC_READ | GENERIC_WRITE : GENERIC_WRITE;
}

void TrackRecoveryPiece(RestoreRun *run)
{
    RunRecovery *r = &run->recovery;
    if (!HasRecovery(run))
        return;
    if (r->entry.dataCount > 0)
        r->pieceStart += r->entry.dataCount;
    if (ReadRecoveryEntry(r->file, &r->header, run->pieceNumber, &r->entry))
        return;
    // A piece beyond the table: without a rebuild pending the run goes on as without the
    // files; with one, the rebuild's own checks will tell.
    if (r->asideCount == 0)
        CloseRecovery(run);
    else
        r->entry.dataCount = -1;
}

BOOL RecoveryCountAgrees(const RestoreRun *run, long long dataCount)
{
    const RunRecovery *r = &run->recovery;
    return !HasRecovery(run) || r->entry.dataCount < 0 || r->entry.dataCount == dataCount;
}

BOOL PieceMatchesTable(const RestoreRun *run)
{
    const RunRecovery *r = &run->recovery;
    return !HasRecovery(run) || r->entry.dataCount < 0 || run->pieceCrc64 == r->entry.crc;
}

BOOL CanRebuildPiece(const RestoreRun *run)
{
    const RunRecovery *r = &run->recovery;
    return HasRecovery(run) && r->asideCount < r->usableRows && r->entry.dataCount >= 0 &&
           r->refusedPiece != run->pieceNumber && !IsSetAside(run);
}

void RefuseRebuild(RestoreRun *run)
{
    run->recovery.refusedPiece = run->pieceNumber;
}

BOOL IsSetAside(const RestoreRun *run)
{
    const RunRecovery *r = &run->recovery;
    return HasRecovery(run) && r->asideCount > 0 && r->aside[r->asideCount - 1].piece == run->pieceNumber;
}

long long SetPieceAside(RestoreRun *run, long long written)
{
    RunRecovery *r = &run->recovery;
    AsidePiece *a = &r->aside[r->asideCount++];
    a->piece = run->pieceNumber;
    a->start = r->pieceStart;
    a->length = r->entry.dataCount;
    a->crc = r->entry.crc;
    a->rebuiltCrc = 0;
    if (a->length > r->rebuildLength)
        r->rebuildLength = a->length;
    // What the progress has counted of this piece stays counted; the rest is counted as the
    // rebuild goes, so the bar never goes back.
    const long long end = a->start + a->length;
    const long long pending = end > written ? end - written : 0;
    r->pendingBytes += pending;
    r->pendingAtStart += pending;
    return end;
}

long long RebuildStart(const RestoreRun *run)
{
    return HasRecovery(run) && run->recovery.asideCount > 0 ? run->recovery.aside[0].start : 0;
}

long long PendingProgressBytes(const RestoreRun *run)
{
    return HasRecovery(run) ? run->recovery.pendingBytes : 0;
}

// The rebuild cannot be trusted: says so; the caller stops the run.
static RebuildStep FailRebuild(RestoreRun *run)
{
    AskUser(kMsgRebuildFailed, run->recovery.path);
    return kRebuildFailedCheck;
}

// Chooses a row for each piece set aside (the first usable ones) and works out what turns
// their sums into the pieces' data: the inverse of the rows' coefficients of those pieces.
static BOOL ChooseRows(RunRecovery *r)
{
    const int count = r->asideCount;
    int chosen = 0;
    for (int row = 0; row < kMaxRecoveryRows && chosen < count; row++)
        if (r->rows[row] != INVALID_HANDLE_VALUE)
            r->usedRows[chosen++] = row;
    if (chosen < count)
        return FALSE;
    WORD work[kMaxRecoveryRows * kMaxRecoveryRows];
    for (int i = 0; i < count; i++)
        for (int k = 0; k < count; k++)
            r->solve[i * count + k] = Gf16Coefficient(r->usedRows[i], r->aside[k].piece - 1);
    if (!Gf16Invert(r->solve, work, count))
        return FALSE;
    r->solvedFor = count;
    return TRUE;
}

// Whether piece (1 for the first) is set aside.
static BOOL PieceIsAside(const RunRecovery *r, LONG piece)
{
    for (int i = 0; i < r->asideCount; i++)
        if (r->aside[i].piece == piece)
            return TRUE;
    return FALSE;
}

// Takes out of every row's sum, for the even byte count `even` at offset at, every piece
// that is not set aside, read back from the destination; the table is read 64 entries at a
// time into the second half of the text buffer, the pieces' bytes into its first half.
// FALSE when a read fails.
static BOOL TakeOutOtherPieces(RestoreRun *run, long long at, DWORD even)
{
    RunRecovery *r = &run->recovery;
    BYTE *other = (BYTE *)g_textBuffer;
    BYTE *entries = (BYTE *)g_textBuffer + kBlockSize;
    long long start = 0;
    for (LONG index = 0; index < r->header.pieceCount; index++) {
        LONG slot = index % kEntriesPerRead;
        if (slot == 0) {
            LONG left = r->header.pieceCount - index;
            LONG count = left < kEntriesPerRead ? left : kEntriesPerRead;
            SeekRecoveryTable(r->file, &r->header, index);
            if (!ReadExactly(r->file, entries, (DWORD)count * kRecoveryEntrySize))
                return FALSE;
        }
        RecoveryEntry entry;
        GetRecoveryEntry(entries + slot * kRecoveryEntrySize, &entry);
        if (!PieceIsAside(r, index + 1) && entry.dataCount > at) {
            long long available = entry.dataCount - at;
            DWORD count = available < (long long)even ? (DWORD)available : even;
            SeekFromStart(run->destination, start + at);
            if (!ReadExactly(run->destination, other, count))
                return FALSE;
            // A piece's last odd byte is the low byte of a symbol whose high byte is zero.
            if (count & 1)
                other[count++] = 0;
            for (int i = 0; i < r->solvedFor; i++)
                Gf16MultiplyAdd(s_sums[i], other, count, Gf16Coefficient(r->usedRows[i], index));
        }
        start += entry.dataCount;
    }
    return TRUE;
}

RebuildStep RebuildNextBlock(RestoreRun *run)
{
    RunRecovery *r = &run->recovery;
    if (!HasRecovery(run) || r->asideCount == 0)
        return kRebuildDone;
    if (r->solvedFor != r->asideCount && !ChooseRows(r))
        return FailRebuild(run);
    // Only the parity data that cover the ranges are read: each range's own CRC-64 tells
    // whether they, and every other piece's data read back, were sound, whatever damage
    // lies elsewhere in the parity data.
    if (r->rebuildAt >= r->rebuildLength) {
        for (int k = 0; k < r->asideCount; k++)
            if (r->aside[k].rebuiltCrc != r->aside[k].crc)
                return FailRebuild(run);
        r->asideCount = 0;
        return kRebuildDone;
    }
    const long long at = r->rebuildAt;
    const long long left = r->rebuildLength - at;
    const DWORD used = left < (long long)kBlockSize ? (DWORD)left : kBlockSize;
    const DWORD even = used + (used & 1);
    for (int i = 0; i < r->solvedFor; i++) {
        // NAME.d00 holds L bytes, a later row L rounded up to even; the rest is zero.
        const HANDLE file = r->rows[r->usedRows[i]];
        const long long stored = RecoveryRowParityBytes(r->header.parityLength, r->usedRows[i] + 1);
        const DWORD want = stored - at < (long long)even ? (DWORD)(stored - at) : even;
        memset(s_sums[i], 0, kBlockSize);
        SeekRecoveryParity(file, at);
        if (!ReadExactly(file, s_sums[i], want))
            return FailRebuild(run);
    }
    r->rebuildAt += used;
    if (!TakeOutOtherPieces(run, at, even))
        return FailRebuild(run);
    for (int k = 0; k < r->asideCount; k++) {
        AsidePiece *a = &r->aside[k];
        if (a->length <= at)
            continue;
        memset(run->block, 0, kBlockSize);
        for (int i = 0; i < r->solvedFor; i++)
            Gf16MultiplyAdd(run->block, s_sums[i], even, r->solve[k * r->solvedFor + i]);
        const DWORD count = a->length - at < (long long)used ? (DWORD)(a->length - at) : used;
        a->rebuiltCrc = Crc64Compute(a->rebuiltCrc, run->block, count);
        SeekFromStart(run->destination, a->start + at);
        DWORD written = 0;
        if (!WriteFile(run->destination, run->block, count, &written, NULL) || written != count)
            return kRebuildFailedWrite;
    }
    const long long done = at + used;
    r->pendingBytes = r->pendingAtStart - (long long)((double)r->pendingAtStart * (double)done / (double)r->rebuildLength);
    return kRebuildGoesOn;
}
