// restore/worker.cpp: the restore thread: brings in, copies (in 1024-byte blocks) and
// verifies every piece, settles each step's verdict in one place, rebuilds a piece set
// aside and gives the file its stored time stamp.
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

// Shows that the destination could not take its bytes; the run stops.
static void ReportFailedWrite(RestoreRun *run)
{
    AskUser(kMsgWriteFailed, run->destinationPath);
}

// Shows that the destination could not take its bytes and stops the run.
static void StopForFailedWrite(RestoreRun *run)
{
    ReportFailedWrite(run);
    CloseRunFiles(run);
}

// Writes count bytes of the block to the destination. A full disk or any other failed or
// short write is reported, and the run stops: the destination would otherwise miss data
// silently.
static BOOL WriteBlock(RestoreRun *run, DWORD count)
{
    DWORD written = 0;
    if (WriteFile(run->destination, run->block, count, &written, NULL) && written == count)
        return TRUE;
    ReportFailedWrite(run);
    return FALSE;
}

// Closes the file of the piece being read, if open.
static void CloseSource(RestoreRun *run)
{
    if (run->source != INVALID_HANDLE_VALUE)
        CloseHandle(run->source);
    run->source = INVALID_HANDLE_VALUE;
}

// One copy step: a full block, the tail of the piece, or nothing when the piece is done.
static PieceVerdict CopyStep(RestoreRun *run)
{
    if (run->pieceRemainder <= 0)
        return kPieceSound;
    DWORD count = run->pieceRemainder >= kBlockSize ? kBlockSize : (DWORD)run->pieceRemainder;
    // A piece that holds more data than the total size still needs (a damaged piece, or
    // one from another set) gives only what completes the file: the destination never
    // grows past the total size the dialog showed.
    if (run->remainingTotal < (long long)count)
        count = run->remainingTotal > 0 ? (DWORD)run->remainingTotal : 0;
    if (count == 0)
        return kPieceSound;
    if (!ReadExactly(run->source, run->block, count))
        return kPieceCutShort;
    if (!WriteBlock(run, count))
        return kPieceStopped;
    run->pieceCrc = Crc16Update(run->block, (LONG)count, 1);
    if (run->pieceHasCheck || HasRecovery(run))
        run->pieceCrc64 = Crc64Compute(run->pieceCrc64, run->block, count);
    run->pieceRemainder -= count;
    run->remainingTotal -= count;
    return kPieceSound;
}

// Copies the current piece's data, step by step with the cancel test and the progress
// after each, until they are all copied or the total size is reached. A piece with
// nothing (more) to copy still takes one step.
static PieceVerdict CopyPiece(RestoreRun *run)
{
    for (;;) {
        const PieceVerdict verdict = CopyStep(run);
        if (verdict != kPieceSound)
            return verdict;
        if (g_runState.load() == kRunCancelRequested)
            return kPieceStopped;
        SendProgress(run);
        if (run->remainingTotal <= 0 || run->pieceRemainder <= 0)
            return kPieceSound;
    }
}

// Leaves the current piece to the rebuild: the destination and the counts move to the end
// of its range, and its file is closed.
static void LeaveToRebuild(RestoreRun *run)
{
    const long long end = SetPieceAside(run, g_restoreInfo.totalSize - run->remainingTotal);
    run->remainingTotal = g_restoreInfo.totalSize - end;
    run->pieceRemainder = 0;
    SeekFromStart(run->destination, end);
    CloseSource(run);
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

    // Without the executable the first piece's data can only come from the recovery file.
    if (!info.firstPieceMissing) {
        run->source =
            CreateFileA(info.ownPath, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
        if (run->source == INVALID_HANDLE_VALUE) {
            AskUser(kMsgRunOwnUnopenable);
            return FALSE;
        }
        SeekFromStart(run->source, kFirstPieceOffset + (long long)info.headerLength);
    }
    run->pieceRemainder = info.firstPieceLength - (long long)info.headerLength;
    OpenRecovery(run);
    if (info.firstPieceMissing && !HasRecovery(run)) {
        AskUser(kMsgRunOwnUnopenable);
        return FALSE;
    }

    GetDlgItemTextA(g_dialog, IDC_DESTINATION, run->destinationPath, kPathBufferSize);
    if (GetFileAttributesA(run->destinationPath) != INVALID_FILE_ATTRIBUTES) {
        if (AskUser(kMsgOverwrite, run->destinationPath) == IDNO) {
            CloseRunFiles(run);
            return FALSE;
        }
    }
    if (!CheckDestinationVolume(run))
        return FALSE;
    run->destination =
        CreateFileA(run->destinationPath, DestinationAccess(run), 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (run->destination == INVALID_HANDLE_VALUE) {
        AskUser(kMsgCannotCreate);
        CloseRunFiles(run);
        return FALSE;
    }
    CarryZoneMark(run);
    strcpy(run->pieceName, info.ownPath);
    if (info.firstPieceMissing)
        LeaveToRebuild(run);
    return TRUE;
}

// Whether a piece's data, all copied, pass their checks: the CRC-16 after them, the CRC-64
// of the piece's own data-check record when it has one, and with a recovery file the CRC-64
// it keeps.
static PieceVerdict VerifyPiece(RestoreRun *run)
{
    const BOOL crc16Holds = ReadCheckValue(run->source) == (WORD)run->pieceCrc;
    const BOOL recordHolds = !run->pieceHasCheck || run->pieceCrc64 == run->pieceCheck;
    return crc16Holds && recordHolds && PieceMatchesTable(run) ? kPieceSound : kPieceCheckFailed;
}

// What the run does after a step's verdict.
enum Settlement {
    kGoOn,     // on with this piece
    kTryAgain, // the step once more (the user made the piece file available, or retries)
    kSetAside, // the piece is left to the rebuild: on with the next piece
    kStop,     // the run stops
};

// Offers the current piece to the rebuild, once per piece. When the user takes it, the
// piece is left to the rebuild. Whether the user took it.
static BOOL OfferRebuild(RestoreRun *run, PieceVerdict verdict)
{
    if (!CanRebuildPiece(run))
        return FALSE;
    if (AskUser(verdict == kPieceMissing ? kMsgRebuildMissing : kMsgRebuildUnusable, run->pieceName) == IDNO) {
        RefuseRebuild(run);
        return FALSE;
    }
    LeaveToRebuild(run);
    return TRUE;
}

// The one place that decides what a verdict means: a piece that cannot be used is offered
// to the rebuild first, when the recovery file can help; otherwise the question a set
// without one gets, or the stop.
static Settlement Settle(RestoreRun *run, PieceVerdict verdict)
{
    if (verdict == kPieceSound)
        return kGoOn;
    if (verdict == kPieceStopped)
        return kStop;
    if (OfferRebuild(run, verdict))
        return kSetAside;
    switch (verdict) {
    case kPieceMissing:
        return AskUser(kMsgNextFile, run->pieceName) == IDCANCEL ? kStop : kTryAgain;
    case kPieceNoMarker:
        return AskUser(kMsgNoMarker) == IDCANCEL ? kStop : kTryAgain;
    case kPieceForeign:
        return AskUser(kMsgForeign, run->pieceName) == IDNO ? kStop : kGoOn;
    case kPieceCutShort:
        AskUser(kMsgCutShort, run->pieceName);
        return kStop;
    case kPieceCheckFailed:
        // The last piece's damage is only reported: the file is as complete as it gets.
        if (run->remainingTotal <= 0) {
            AskUser(kMsgBadLastCheck, run->pieceName);
            return kGoOn;
        }
        return AskUser(kMsgBadCheck, run->pieceName) == IDNO ? kStop : kGoOn;
    default:
        // A data count other than the recovery file's, the rebuild refused: the piece's own
        // checks tell at its end.
        return kGoOn;
    }
}

// Brings in the next piece: its file opened (asked for while it cannot be), its marker
// found (searched again from the file's first byte on Retry: the user may have put a sound
// copy in its place), its header read.
static Settlement BringInNextPiece(RestoreRun *run)
{
    CloseSource(run);
    run->pieceNumber++;
    run->pieceCrc = Crc16Update(NULL, 0, 0);
    run->pieceHasCheck = FALSE;
    run->pieceCrc64 = 0;
    MakePieceName(run);
    TrackRecoveryPiece(run);
    Settlement settled;
    for (;;) {
        settled = Settle(run, OpenPieceFile(run));
        if (settled == kTryAgain)
            continue;
        if (settled != kGoOn)
            return settled;
        settled = Settle(run, FindPieceMarker(run));
        if (settled != kTryAgain)
            break;
        CloseSource(run);
    }
    if (settled != kGoOn)
        return settled;
    LaterPieceHeader header;
    settled = Settle(run, ReadPieceStart(run, &header));
    if (settled != kGoOn)
        return settled;
    settled = Settle(run, ReadPieceRecords(run, &header));
    if (settled != kGoOn)
        return settled;
    return Settle(run, RecoveryCountAgrees(run, run->pieceRemainder) ? kPieceSound : kPieceCountDiffers);
}

// Rebuilds the piece set aside, if any, block by block with the cancel test and the
// progress after each. FALSE when the run is to stop.
static BOOL Rebuild(RestoreRun *run)
{
    for (;;) {
        switch (RebuildNextBlock(run)) {
        case kRebuildDone:
            return TRUE;
        case kRebuildFailedCheck:
            return FALSE;
        case kRebuildFailedWrite:
            ReportFailedWrite(run);
            return FALSE;
        case kRebuildGoesOn:
            break;
        }
        if (g_runState.load() == kRunCancelRequested)
            return FALSE;
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
    if (!Rebuild(run)) {
        // The data after the range set aside were verified, but a file of the full size
        // with one range wrong would look whole: it ends where the range begins.
        SeekFromStart(run->destination, RebuildStart(run));
        SetEndOfFile(run->destination);
        CloseRunFiles(run);
        return FALSE;
    }
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

// The whole run, piece by piece: bring it in, copy it, verify it, each step settled as it
// ends. TRUE when the file was restored, FALSE when the run stopped (its files are closed
// by then).
static BOOL Restore(RestoreRun *run)
{
    if (!StartRun(run))
        return FALSE;
    for (;;) {
        PieceVerdict verdict = CopyPiece(run);
        if (verdict == kPieceSound && !IsSetAside(run))
            verdict = VerifyPiece(run);
        const Settlement settled = Settle(run, verdict);
        if (settled == kStop)
            break;
        // A piece set aside while it was copied takes the step of a piece with nothing left.
        if (settled == kSetAside && verdict == kPieceCutShort)
            continue;
        if (run->remainingTotal <= 0)
            return Finish(run);
        if (BringInNextPiece(run) == kStop)
            break;
    }
    CloseRunFiles(run);
    return FALSE;
}

DWORD WINAPI RestoreWorker(LPVOID)
{
    RestoreRun run;
    LONG outcome = Restore(&run) ? kRunIdle : kRunStopped;
    g_runState.store(outcome);
    return 0;
}
