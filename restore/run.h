// restore/run.h: one restore run's state and the helpers that the worker, next-piece
// discovery, the pre-flight check and the download mark share: asking the user and
// stopping the run.
#pragma once
#include <windows.h>

#include "format/recovery.h"
#include "restore/messages.h"
#include "restore/state.h"

const DWORD kBlockSize = 1024;

// What a run knows of its recovery file. A run without a usable one has file
// INVALID_HANDLE_VALUE and behaves as if this did not exist.
struct RunRecovery {
    HANDLE file;
    char path[kShortPathSize + 4];
    RecoveryHeader header;
    RecoveryEntry entry;    // the current piece's entry of the piece table
    long long pieceStart;   // where the current piece's data belong in the file, by the table
    LONG refusedPiece;      // the piece whose rebuild the user refused; 0: none
    LONG rebuildPiece;      // the piece whose range is rebuilt after the last piece; 0: none
    long long rebuildStart; // its range in the destination
    long long rebuildLength;
    Crc64 rebuildCrc;       // the CRC-64 its data must have
    long long pendingBytes; // bytes of that range the progress has not counted yet
    long long pendingAtStart;
    long long rebuildAt;    // offset in the parity data of the next block to rebuild
    Crc64 rebuiltCrc;       // CRC-64 of the rebuilt data so far
};

// One restore run's own state. It lives on the worker's stack and ends with the run.
struct RestoreRun {
    HANDLE source;                         // the file of the piece being read
    HANDLE destination;                    // the file being restored
    char destinationPath[kPathBufferSize]; // from the destination field at the start
    char pieceName[kPathBufferSize];       // path of the piece being read, shown in messages
    int pieceNumber;                       // 1 for the first piece
    long long pieceRemainder;              // data bytes of this piece not yet copied
    long long remainingTotal;              // total size minus the bytes written; may go below 0
    UINT pieceCrc;                         // CRC of this piece's data copied so far
    BOOL pieceHasCheck;                    // this piece's header holds a data-check record
    Crc64 pieceCheck;                      // the CRC-64 that record states
    Crc64 pieceCrc64;                      // CRC-64 of this piece's data copied so far, kept
                                           // while the record or the recovery file needs it
    HWND progress;                         // the progress bar
    int lastPosition;                      // the progress position last sent in this run
    BYTE block[kBlockSize];                // one block on its way to the destination
    RunRecovery recovery;                  // the recovery file, when the set has a usable one
};

// What one step of a piece (bringing it in, copying it, verifying it) found.
enum PieceVerdict {
    kPieceSound,        // the step went through; the piece goes on
    kPieceMissing,      // its file cannot be opened
    kPieceNoMarker,     // its file holds no piece marker where the search looks
    kPieceForeign,      // its set identifier is another set's
    kPieceCutShort,     // its header or data end early
    kPieceCheckFailed,  // its data fail a check
    kPieceCountDiffers, // its data count is not the recovery file's (a recovery file's finding only)
    kPieceStopped,      // the run stopped: cancelled, or the destination failed (already reported)
};

// Shows a message box of the catalogue owned by the dialog and returns the answer.
int AskUser(MessageId id, const char *a = NULL, const char *b = NULL, const char *c = NULL);

// Closes whichever files of the run are open. Every stop goes through here.
void CloseRunFiles(RestoreRun *run);

// Closes the recovery file, if open: the run goes on as without it.
void CloseRecovery(RestoreRun *run);
