// restore/worker.cpp: the restore thread: copies every piece's data into the destination
// in 1024-byte blocks, checks each piece's CRC and gives the file its stored time stamp.
#include "restore/worker.h"

#include <commctrl.h>
#include <string.h>

#include "format/crc16.h"
#include "format/crc64.h"
#include "format/piece.h"
#include "format/fileio.h"
#include "resource.h"
#include "restore/discovery.h"
#include "restore/preflight.h"
#include "restore/recovery.h"
#include "restore/run.h"
#include "restore/zone.h"

// Sends the position the bytes written so far give, when it differs from the one last
// sent: the bar then shows the same positions with far fewer cross-thread messages.
static void SendProgress(RestoreRun *run)
{
    const RestoreInfo &info = g_restoreInfo;
    int position = 100;
    // A total size of 0 has nothing to divide by: the restore is complete at once.
    if (info.totalSize != 0)
        position = (int)(((double)info.totalSize - (double)run->remainingTotal - (double)PendingProgressBytes(run)) *
                         100.0 / (double)info.totalSize);
    if (position == run->lastPosition)
        return;
    run->lastPosition = position;
    SendMessageA(run->progress, PBM_SETPOS, (WPARAM)position, 0);
}

// Shows that the destination could not take its bytes and stops the run.
static void StopForFailedWrite(RestoreRun *run)
{
    wsprintfA(g_textBuffer, "復元ファイルへの書き込みに失敗しました。\nディスクの空き容量を確認してください。\n[%s]",
              run->destinationPath);
    AskUser(g_textBuffer, "Parcelon", MB_ICONERROR | MB_OK);
    CloseRunFiles(run);
}

// Writes count bytes of the block to the destination. A full disk or any other failed or
// short write stops the run: the destination would otherwise miss data silently.
static BOOL WriteBlock(RestoreRun *run, DWORD count)
{
    DWORD written = 0;
    if (WriteFile(run->destination, run->block, count, &written, NULL) && written == count)
        return TRUE;
    StopForFailedWrite(run);
    return FALSE;
}

// One copy step: a full block, the tail of the piece, or nothing when the piece is done.
static BOOL CopyStep(RestoreRun *run)
{
    if (run->pieceRemainder <= 0)
        return TRUE;
    DWORD count = run->pieceRemainder >= kBlockSize ? kBlockSize : (DWORD)run->pieceRemainder;
    // A piece that holds more data than the total size still needs (a damaged piece, or
    // one from another set) gives only what completes the file: the destination never
    // grows past the total size the dialog showed.
    if (run->remainingTotal < (long long)count)
        count = run->remainingTotal > 0 ? (DWORD)run->remainingTotal : 0;
    if (count == 0)
        return TRUE;
    DWORD got = 0;
    if (!ReadFile(run->source, run->block, count, &got, NULL) || got != count) {
        if (OfferRebuild(run, kPieceUnusable))
            return TRUE;
        StopForTruncatedPiece(run);
        return FALSE;
    }
    if (!WriteBlock(run, count))
        return FALSE;
    run->pieceCrc = Crc16Update(run->block, (LONG)count, 1);
    if (run->pieceHasCheck || HasRecovery(run))
        run->pieceCrc64 = Crc64Compute(run->pieceCrc64, run->block, count);
    run->pieceRemainder -= count;
    run->remainingTotal -= count;
    return TRUE;
}

// Opens the executable at its first data byte and creates the destination, asking
// before an existing file or folder of that name is overwritten and before a volume
// without room is written to, and marks it as the executable is marked.
static BOOL StartRun(RestoreRun *run)
{
    const RestoreInfo &info = g_restoreInfo;
    run->source = INVALID_HANDLE_VALUE;
    run->destination = INVALID_HANDLE_VALUE;
    ResetRecovery(run);
    run->remainingTotal = info.totalSize;
    run->pieceNumber = 1;
    run->pieceCrc = Crc16Update(NULL, 0, 0);
    run->pieceHasCheck = info.hasDataCheck;
    run->pieceCheck = info.dataCheck;
    run->pieceCrc64 = 0;
    run->progress = GetDlgItem(g_dialog, IDC_PROGRESS);
    run->lastPosition = 0;
    SendMessageA(run->progress, PBM_SETPOS, 0, 0);

    run->source = CreateFileA(info.ownPath, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (run->source == INVALID_HANDLE_VALUE) {
        AskUser("ファイルが開けません\r\n他のソフトで開かれていないかご確認ください。", "Parcelon 復元確認",
                MB_ICONQUESTION | MB_OK);
        return FALSE;
    }
    SeekFromStart(run->source, kFirstPieceOffset + (long long)info.headerLength);
    run->pieceRemainder = info.firstPieceLength - (long long)info.headerLength;
    OpenRecovery(run);

    GetDlgItemTextA(g_dialog, IDC_DESTINATION, run->destinationPath, kPathBufferSize);
    if (GetFileAttributesA(run->destinationPath) != INVALID_FILE_ATTRIBUTES) {
        wsprintfA(g_textBuffer, "%s は\nすでに存在しますが、上書きしてもよろしいですか", run->destinationPath);
        if (AskUser(g_textBuffer, "Parcelon  上書き確認", MB_ICONQUESTION | MB_YESNO) == IDNO) {
            CloseRunFiles(run);
            return FALSE;
        }
    }
    if (!CheckDestinationVolume(run))
        return FALSE;
    run->destination =
        CreateFileA(run->destinationPath, DestinationAccess(run), 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (run->destination == INVALID_HANDLE_VALUE) {
        AskUser("復元ファイルを作成できません\nファイルパス名を確認してください。", "Parcelon", MB_ICONWARNING | MB_OK);
        CloseRunFiles(run);
        return FALSE;
    }
    CarryZoneMark(run);
    strcpy(run->pieceName, info.ownPath);
    return TRUE;
}

// Whether a piece's data, all copied, pass their checks: the CRC-16 after them, the CRC-64
// of the piece's own data-check record when it has one, and with a recovery file the CRC-64
// it keeps. A piece left to the rebuild passes.
static BOOL PieceIsSound(RestoreRun *run)
{
    if (IsRebuildPiece(run))
        return TRUE;
    const BOOL recordHolds = !run->pieceHasCheck || run->pieceCrc64 == run->pieceCheck;
    return ReadCheckValue(run->source) == (WORD)run->pieceCrc && recordHolds && PieceMatchesTable(run);
}

// The end of a piece that is not the last: compare its check values, then bring in the
// next piece.
static BOOL EndIntermediatePiece(RestoreRun *run)
{
    if (!PieceIsSound(run) && !OfferRebuild(run, kPieceUnusable)) {
        wsprintfA(g_textBuffer, "ファイルの内容が正しくありません。強行しますか？\n[%s]", run->pieceName);
        if (AskUser(g_textBuffer, "Parcelon 復元確認", MB_ICONWARNING | MB_YESNO) == IDNO) {
            CloseRunFiles(run);
            return FALSE;
        }
    }
    run->pieceNumber++;
    run->pieceCrc = Crc16Update(NULL, 0, 0);
    run->pieceHasCheck = FALSE;
    run->pieceCrc64 = 0;
    if (run->source != INVALID_HANDLE_VALUE)
        CloseHandle(run->source);
    run->source = INVALID_HANDLE_VALUE;
    return BringInNextPiece(run);
}

// Rebuilds the piece left for later, if any, block by block with the cancel test and the
// progress after each. FALSE when the run stopped.
static BOOL Rebuild(RestoreRun *run)
{
    for (;;) {
        switch (RebuildNextBlock(run)) {
        case kRebuildDone:
            return TRUE;
        case kRebuildStopped:
            return FALSE;
        case kRebuildFailedWrite:
            StopForFailedWrite(run);
            return FALSE;
        case kRebuildGoesOn:
            break;
        }
        if (g_runState.load() == kRunCancelRequested) {
            CloseRunFiles(run);
            return FALSE;
        }
        SendProgress(run);
    }
}

// Gives the destination the stored last-write time (UTC). A stored date that is no valid
// date leaves the times the file system gave it.
static void ApplyTimeStamp(RestoreRun *run)
{
    const RestoreInfo &info = g_restoreInfo;
    if (info.year == 0)
        return;
    SYSTEMTIME time;
    memset(&time, 0, sizeof time);
    time.wYear = info.year;
    time.wMonth = (WORD)(info.packedTime >> 22);
    time.wDay = (WORD)(info.packedTime >> 17 & 0x1F);
    time.wHour = (WORD)(info.packedTime >> 12 & 0x1F);
    time.wMinute = (WORD)(info.packedTime >> 6 & 0x3F);
    time.wSecond = (WORD)(info.packedTime & 0x3F);
    FILETIME stamp;
    if (SystemTimeToFileTime(&time, &stamp))
        SetFileTime(run->destination, NULL, NULL, &stamp);
}

// The last piece: the total size has been written. The file is restored only once its
// bytes are on the disk: WriteFile and CloseHandle succeed while the system still holds
// them, and a network share's delayed write or a stick pulled out then loses them unseen.
// FlushFileBuffers waits for them and reports their failure, which ends the run as a
// failed write, as does a close that reports one.
static BOOL Finish(RestoreRun *run)
{
    if (!PieceIsSound(run) && !OfferRebuild(run, kPieceUnusable)) {
        wsprintfA(g_textBuffer, "ファイルの内容が正しくありません。\n[%s]", run->pieceName);
        AskUser(g_textBuffer, "Parcelon 復元確認", MB_ICONWARNING | MB_OK);
    }
    if (!Rebuild(run))
        return FALSE;
    ApplyTimeStamp(run);
    if (!FlushFileBuffers(run->destination)) {
        StopForFailedWrite(run);
        return FALSE;
    }
    const BOOL closed = CloseHandle(run->destination);
    run->destination = INVALID_HANDLE_VALUE;
    if (!closed) {
        StopForFailedWrite(run);
        return FALSE;
    }
    CloseRunFiles(run);
    return TRUE;
}

// The whole run; TRUE when the file was restored, FALSE when the run stopped (its files
// are closed by then).
static BOOL Restore(RestoreRun *run)
{
    if (!StartRun(run))
        return FALSE;
    for (;;) {
        if (!CopyStep(run))
            return FALSE;
        if (g_runState.load() == kRunCancelRequested) {
            CloseRunFiles(run);
            return FALSE;
        }
        SendProgress(run);
        if (run->remainingTotal <= 0)
            return Finish(run);
        if (run->pieceRemainder > 0)
            continue;
        if (!EndIntermediatePiece(run))
            return FALSE;
    }
}

DWORD WINAPI RestoreWorker(LPVOID)
{
    RestoreRun run;
    LONG outcome = Restore(&run) ? kRunIdle : kRunStopped;
    g_runState.store(outcome);
    return 0;
}
