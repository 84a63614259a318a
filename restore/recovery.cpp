// restore/recovery.cpp: what a restore run does with the recovery file: finds it at the
// start, follows the table entry of each piece (its data count and CRC-64), keeps the one
// piece set aside for the rebuild and the user's refusal, and rebuilds it after the last
// piece.
#include "restore/recovery.h"

#include <string.h>

#include "format/fileio.h"
#include "restore/run.h"

// Table entries read at once during a rebuild: one 1024-byte read.
static const LONG kEntriesPerRead = (LONG)(kBlockSize / kRecoveryEntrySize);

void MakeRecoveryName(const char *ownPath, char *name)
{
    strcpy(name, ownPath);
    char *dot = strrchr(name, '.');
    if (dot != NULL)
        strcpy(dot + 1, "d00");
    else
        strcat(name, ".d00");
}

void ResetRecovery(RestoreRun *run)
{
    RunRecovery *r = &run->recovery;
    r->file = INVALID_HANDLE_VALUE;
    r->pieceStart = 0;
    r->refusedPiece = 0;
    r->rebuildPiece = 0;
    r->pendingBytes = 0;
}

BOOL HasRecovery(const RestoreRun *run)
{
    return run->recovery.file != INVALID_HANDLE_VALUE;
}

void OpenRecovery(RestoreRun *run)
{
    RunRecovery *r = &run->recovery;
    const RestoreInfo &info = g_restoreInfo;
    MakeRecoveryName(info.ownPath, r->path);
    HANDLE file = CreateFileA(r->path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return;
    // A recovery file of another set, or a damaged one, must never make a sound set fail.
    // Where the first piece states its data's CRC-64, the table must state the same: a
    // recovery file left from an earlier split of the same name, size and time has another.
    RecoveryHeader *h = &r->header;
    if (ReadRecoveryHeader(file, h) && memcmp(h->setId, info.setId, 2) == 0 && h->totalSize == info.totalSize &&
        h->year == info.year && h->packedTime == info.packedTime && strcmp(h->name, info.storedName) == 0 &&
        ReadRecoveryEntry(file, h, 1, &r->entry) &&
        r->entry.dataCount == info.firstPieceLength - (long long)info.headerLength &&
        (!info.hasDataCheck || r->entry.crc == info.dataCheck)) {
        r->file = file;
        return;
    }
    CloseHandle(file);
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
    // file; with one, the rebuild's own checks will tell.
    if (r->rebuildPiece == 0)
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
    return HasRecovery(run) && r->rebuildPiece == 0 && r->entry.dataCount >= 0 && r->refusedPiece != run->pieceNumber;
}

void RefuseRebuild(RestoreRun *run)
{
    run->recovery.refusedPiece = run->pieceNumber;
}

BOOL IsSetAside(const RestoreRun *run)
{
    return HasRecovery(run) && run->recovery.rebuildPiece == run->pieceNumber;
}

long long SetPieceAside(RestoreRun *run, long long written)
{
    RunRecovery *r = &run->recovery;
    r->rebuildPiece = run->pieceNumber;
    r->rebuildStart = r->pieceStart;
    r->rebuildLength = r->entry.dataCount;
    r->rebuildCrc = r->entry.crc;
    r->rebuildAt = 0;
    r->rebuiltCrc = 0;
    // What the progress has counted of this piece stays counted; the rest is counted as the
    // rebuild goes, so the bar never goes back.
    const long long end = r->rebuildStart + r->rebuildLength;
    r->pendingBytes = end > written ? end - written : 0;
    r->pendingAtStart = r->pendingBytes;
    return end;
}

long long RebuildStart(const RestoreRun *run)
{
    return HasRecovery(run) && run->recovery.rebuildPiece != 0 ? run->recovery.rebuildStart : 0;
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

// XORs into the block the used bytes at offset at of every other piece's data, read back
// from the destination; the table is read 64 entries at a time into the second half of the
// text buffer, the pieces' bytes into its first half. FALSE when a read fails.
static BOOL XorOtherPieces(RestoreRun *run, long long at, DWORD used)
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
        if (index + 1 != r->rebuildPiece && entry.dataCount > at) {
            long long available = entry.dataCount - at;
            DWORD count = available < (long long)used ? (DWORD)available : used;
            SeekFromStart(run->destination, start + at);
            if (!ReadExactly(run->destination, other, count))
                return FALSE;
            for (DWORD i = 0; i < count; i++)
                run->block[i] ^= other[i];
        }
        start += entry.dataCount;
    }
    return TRUE;
}

RebuildStep RebuildNextBlock(RestoreRun *run)
{
    RunRecovery *r = &run->recovery;
    if (!HasRecovery(run) || r->rebuildPiece == 0)
        return kRebuildDone;
    // Only the parity data that cover the range are read: the range's own CRC-64 tells
    // whether they, and every other piece's data read back, were sound, whatever damage
    // lies elsewhere in the parity data.
    if (r->rebuildAt >= r->rebuildLength) {
        if (r->rebuiltCrc != r->rebuildCrc)
            return FailRebuild(run);
        r->rebuildPiece = 0;
        return kRebuildDone;
    }
    const long long at = r->rebuildAt;
    const long long left = r->rebuildLength - at;
    const DWORD used = left < (long long)kBlockSize ? (DWORD)left : kBlockSize;
    SeekRecoveryParity(r->file, at);
    if (!ReadExactly(r->file, run->block, used))
        return FailRebuild(run);
    r->rebuildAt += used;
    if (!XorOtherPieces(run, at, used))
        return FailRebuild(run);
    r->rebuiltCrc = Crc64Compute(r->rebuiltCrc, run->block, used);
    SeekFromStart(run->destination, r->rebuildStart + at);
    DWORD written = 0;
    if (!WriteFile(run->destination, run->block, used, &written, NULL) || written != used)
        return kRebuildFailedWrite;
    const long long done = at + used;
    r->pendingBytes = r->pendingAtStart - (long long)((double)r->pendingAtStart * (double)done / (double)r->rebuildLength);
    return kRebuildGoesOn;
}
